// The sign-in endpoints, answered by AccessControl::AnswerAuth (access.h):
//
//   POST /auth/login   {"login","password"} -> 200 {login, name, role, csrfToken} and the
//                      session cookie (HttpOnly; SameSite=Strict; Path=/; Secure when
//                      [auth] secure_cookies); 401 (1303) with one message for every wrong
//                      login, password or disabled account; 429 (1304) with Retry-After while
//                      this address is paused for the login or for all logins (throttle.h)
//   POST /auth/logout  ends the browser session on the server and clears the cookie
//   GET  /auth/me      {login, name, role, via, csrfToken (with a session)}
//   GET  /auth/setup?secret=S   whether the first-admin setup is open
//   POST /auth/setup?secret=S   {"login","name","password"}: creates the first administrator
//                      while no account exists (1308 otherwise) and signs them in
//
// POST bodies are JSON (Content-Type: application/json), which a form of
// another site cannot send. Passwords are never logged, stored or returned.
#pragma once

#include "server/access.h"
