// The process-wide values of an installer whose update server is a loopback test server
// (the end-to-end tests and the demo run one on 127.0.0.1).
#undef MORVELL_UPDATE_SERVER
#define MORVELL_UPDATE_SERVER MORVELL_LOOPBACK_SERVER
#include "common/state.cpp"
