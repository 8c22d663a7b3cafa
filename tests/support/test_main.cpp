// The test program's entry. Run with --fake-app it plays the installed application instead:
//   --fake-app exit-after MS    exits by itself after MS milliseconds
//   --fake-app linger           stays until killed
// Every fake run appends its pid to $MORVELL_FAKE_APP_LOG when that is set.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "app/ui.h"

static int fake_app(int argc, char** argv) {
  if (const char* log = std::getenv("MORVELL_FAKE_APP_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%d\n", static_cast<int>(getpid()));
      std::fclose(f);
    }
  }
  std::string mode = argc > 2 ? argv[2] : "linger";
  if (mode == "exit-after") {
    usleep(static_cast<useconds_t>((argc > 3 ? std::atoi(argv[3]) : 0) * 1000));
    return 0;
  }
  for (int i = 0; i < 600; ++i) usleep(100000);   // at most one minute, then give up
  return 0;
}

int main(int argc, char** argv) {
  use_toolkit_front_end();
  if (argc > 1 && std::strcmp(argv[1], "--fake-app") == 0) return fake_app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
