// Prints the SHA-256 states HMAC-SHA-256 starts from for the key given as
// the only argument (its bytes as they are): "inner" and "outer", each
// followed by the eight 32-bit state words in hex, as nettle holds them
// after absorbing the key XOR ipad and key XOR opad blocks. The password
// memory test searches the curtain's memory for these states.

#include <nettle/hmac.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void printState(const char* name, const sha256_ctx& state) {
  std::printf("%s", name);
  for (const std::uint32_t word : state.state) std::printf(" %08x", word);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s KEY\n", argv[0]);
    return 2;
  }
  hmac_sha256_ctx mac;
  hmac_sha256_set_key(&mac, std::strlen(argv[1]), reinterpret_cast<const std::uint8_t*>(argv[1]));
  printState("inner", mac.inner);
  printState("outer", mac.outer);
  return 0;
}
