// Raw connections to a service under test on loopback, for tests that need
// to control bytes and source addresses (held connections, half heads,
// several clients from one address).
#pragma once

namespace tsa::test {

// A connection from a given loopback address (any of 127.0.0.0/8), with a
// guard on reads so that a hung server fails the test instead of hanging it;
// -1 when it cannot connect. `receiveBuffer` > 0 sets SO_RCVBUF first.
int Connect(int port, const char* from = "127.0.0.1", int receiveBuffer = 0);

}  // namespace tsa::test
