# Makes the tests' release key pair once, with morvell-sign (DIR/test.pem, DIR/test.pub), and
# writes the installer's key setting for it (DIR/release_keys.cpp).
if(NOT EXISTS ${DIR}/test.pub)
  file(MAKE_DIRECTORY ${DIR})
  file(REMOVE ${DIR}/test.pem)
  execute_process(COMMAND ${SIGN} keygen --private ${DIR}/test.pem --public-out ${DIR}/test.pub
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "morvell-sign keygen failed")
  endif()
endif()
file(READ ${DIR}/test.pub key)
string(STRIP "${key}" key)
file(WRITE ${DIR}/release_keys.cpp
  "// The release key of the tests.\n#include \"common/state.h\"\nconst char* const release_keys_setting = \"${key}\";\n")
