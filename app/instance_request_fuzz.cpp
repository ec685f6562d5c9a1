// Fuzzes the reading of a request that another start sends the running
// window: any line must either be refused or decode to an absolute path
// that encodes back to a line that decodes to the same path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/instance_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  std::string_view line(reinterpret_cast<const char*>(data), size);
  InstanceRequest request;
  if (!decode_instance_request(line, request)) return 0;
  if (!request.project.empty() && request.project.first() != '/') std::abort();
  String again = encode_instance_request(request);
  InstanceRequest round;
  if (!decode_instance_request(again.view(), round) || !(round.project == request.project)) {
    std::abort();
  }
  return 0;
}
