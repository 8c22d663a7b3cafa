// The tail of an offline installer: any bytes, any size.
#include "fuzz_support.h"
#include "package/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the bytes given, in a buffer of their own, so that a read past the end is caught.
  std::vector<char> tail(data, data + size);
  uint64_t offset = 123, length = 456;
  bool found = parse_payload_trailer(size ? tail.data() : nullptr, size, offset, length);
  if (found) {
    FUZZ_CHECK(offset != 0);
    FUZZ_CHECK(length != 0);
  } else {
    FUZZ_CHECK(offset == 0 || length == 0);
  }
  return 0;
}
