// Error numbers of accounts, sign-in and access (1300-1349).
#pragma once

#include <cstdint>

namespace tsa::accounts {

inline constexpr const char* kSource = "tsauthor.accounts";

namespace err {
inline constexpr int32_t NotSignedIn = 1300;       // no identity, or one that is not valid (any more)
inline constexpr int32_t RoleRefused = 1301;       // the caller's role does not allow the call
inline constexpr int32_t ActingForOther = 1302;    // a user argument names somebody else
inline constexpr int32_t SignInFailed = 1303;      // the login or the password is wrong (one message for all)
inline constexpr int32_t SignInThrottled = 1304;   // too many failed sign-ins: wait
inline constexpr int32_t AccountExists = 1305;
inline constexpr int32_t AccountNotFound = 1306;
inline constexpr int32_t TokenNotFound = 1307;
inline constexpr int32_t SetupClosed = 1308;       // the first-admin link is wrong or an account exists already
inline constexpr int32_t CsrfProofMissing = 1309;  // a cookie-signed change without the app's proof
inline constexpr int32_t CryptoUnavailable = 1310; // libsodium could not be initialised or hashing failed
}  // namespace err

}  // namespace tsa::accounts
