// Servants in tests: the built starter where the host looks for programs, a
// servant configuration naming the test handler library, and a capture of what
// every thread logs. Needs STARTER_PATH and TEST_SERVANT_HANDLER_PATH.
#ifndef TESTS_HOST_SERVANT_SERVANT_TEST_SUPPORT_H
#define TESTS_HOST_SERVANT_SERVANT_TEST_SUPPORT_H

#include <string>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "support/log_capture.h"
#include "world/servant_setup.h"

// Links the built starter to $HOST_ROOT/opt/velmora/tarnvik3/bin/starter.
inline void install_starter() {
    install_starter(STARTER_PATH);
}

// The servant configuration at its default place, with the test handler
// library as the module.
inline std::string write_servant_config(const json_spirit::Object& handlers) {
    return write_servant_config(handlers, TEST_SERVANT_HANDLER_PATH);
}

#endif
