// The image decoder, compiled into the image fuzz target from the same Debian header the shared
// library is built from, so that it is instrumented too (coverage and AddressSanitizer) and its
// definitions take the place of the library's.
//
// The undefined-behaviour checks are left out for this file (see fuzz/CMakeLists.txt). The
// decoder's own code has patterns that are undefined on paper and harmless in the machine code:
// its JPEG bit reader shifts a zero by a count past the width once corrupt entropy data ran into
// a marker, and its PNG reader copies zero bytes to a null buffer for an empty IDAT chunk. Each
// 20-second run could stumble on another such report in code that is not ours. What matters for
// the plug-in is that no input makes the decoder read or write outside its buffers, and
// AddressSanitizer still checks that on every access; the plug-in's own code in the target keeps
// every check.
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
