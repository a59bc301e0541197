// The image decoder, compiled into the image fuzz target from the same Debian header the shared
// library is built from, so that it is instrumented too (coverage, AddressSanitizer, the
// undefined-behaviour checks) and its definitions take the place of the library's.
//
// One check is left out here: shift exponents. When a corrupt entropy-coded segment runs into a
// marker, the decoder's bit reader stops filling and its bit count can go below zero; every later
// refill then shifts a zero byte (nothing more is read once a marker was met) by 24 minus that
// count, which is past the width. The value shifted is zero, so the result is zero whatever the
// count, and the decode goes on to its own error or to a garbled picture, which is what a
// corrupt file gives anyway. Memory, bounds and every other check stay on.
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
