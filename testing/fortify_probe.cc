// A copy whose length the compiler cannot bound, into a buffer whose size it
// knows: built with the options every target of ours is built with, it calls
// the checked form of memcpy. The shipped binaries hold no such copy of
// their own (their sizes are proven, or their buffers reached through
// pointers), so their code cannot show whether the checked forms are in
// force; this object, built beside them, does.
#include <cstddef>
#include <cstring>

extern "C" int velunorFortifyProbe(const char* source, size_t length) {
  char buffer[16];
  std::memcpy(buffer, source, length);
  return buffer[0];
}
