// Shared by the service fuzz targets: the input as an exactly sized, NUL-terminated heap text,
// so that any read past its end is caught by the address sanitizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

struct FuzzText {
    std::unique_ptr<char[]> bytes;
    size_t size;
    FuzzText(const uint8_t *data, size_t n) : bytes(new char[n + 1]), size(n) {
        std::memcpy(bytes.get(), data, n);
        bytes[n] = '\0';
    }
    const char *c_str() const { return bytes.get(); }
};
