// The JSON text navigator: reads JSON in place, without building a tree.
//
// A value is a position in a NUL-terminated text: a pointer to its first byte. Every position
// returned points into the caller's text and stays valid while that text lives, except the
// not-found result of json_get, which points at a constant "null" outside every document and
// classifies as a primitive. The scanners stop at the terminating NUL and never use a byte
// past it; where SSE2 is available they load aligned 16-byte blocks, which may reach past the
// NUL inside its own block (never into another page), and are left out of sanitizer builds.
// Nothing is allocated except the copies made by json_strdup, json_unescape and json_text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum JsonType : int32_t {
    JSON_OBJECT = 0,
    JSON_ARRAY = 1,
    JSON_STRING = 2,
    JSON_PRIMITIVE = 3,
    JSON_INVALID = 4,
};

// The not-found result of json_get; lookups from it are not found again.
extern const char *const JSON_NOT_FOUND;

// Kind of the value by its first byte; nullptr is JSON_INVALID.
JsonType json_type(const char *pos);
// Position just after the value starting exactly at `pos`, or nullptr when it is malformed
// or the text ends inside it.
const char *json_skip(const char *pos);
// Value of the first member named `name` (raw bytes, escapes not decoded) of the object at
// `pos` (leading whitespace allowed), or nullptr.
const char *json_find(const char *pos, std::string_view name);
// First element of the array at `pos`, or nullptr for an empty array or a non-array.
const char *json_first(const char *pos);
// Element after the element at `pos`, or nullptr at the end of the array (also after a trailing
// comma).
const char *json_next(const char *pos);
// The element after the element that ends just before `end` (where json_skip would stop), or
// nullptr at the end of the array; there `*array_end` (when given) becomes the position after the
// closing bracket.
const char *json_next_after(const char *end, const char **array_end = nullptr);
// Resolves a dotted path (".a.b.0.c"; everything before the first '.' is ignored, digits start
// an index with strtol base detection). Never nullptr: gives JSON_NOT_FOUND instead. A nullptr
// start is treated as not found.
const char *json_get(const char *pos, const char *path);

// One member of an object: its name as written (escapes not decoded) and its value.
struct JsonMember {
    std::string_view name;
    const char *value = nullptr;
    // Set by a caller that has read the value to its end (the position json_skip would give),
    // so that json_member_next need not pass over the value again.
    const char *value_end = nullptr;
    // Set by json_member_next when it stops at the object's closing brace: the position after it.
    const char *end = nullptr;
};
// First member of the object at `pos` (leading whitespace allowed); false for an empty object,
// a non-object or malformed text.
bool json_member_first(const char *pos, JsonMember &member);
// The member after `member` (whose value is stepped over); false at the end of the object or on
// malformed text.
bool json_member_next(JsonMember &member);

// No cut: the whole string is copied or decoded.
constexpr size_t JSON_NO_LIMIT = static_cast<size_t>(-1);

// Raw bytes between the quotes of the string at `pos`, escapes left as written; absent for a
// non-string or an unterminated string. At most `max_bytes` bytes are kept, cut at the start of
// a UTF-8 character.
std::optional<std::string> json_strdup(const char *pos, size_t max_bytes = JSON_NO_LIMIT);
// Decodes `length` bytes of string content; a length below 1 gives "". The result holds at most
// `max_bytes` bytes, cut at the start of a UTF-8 character; the input is read only as far as
// that needs, so a cut costs time in proportion to the result, not to the string.
std::string json_unescape(const char *bytes, long length, size_t max_bytes = JSON_NO_LIMIT);
// Decoded content of the string at `pos`, cut as json_unescape cuts; "" for anything else.
std::string json_text(const char *pos, size_t max_bytes = JSON_NO_LIMIT);

// Deepest nesting json_document_complete accepts; far deeper than any real response.
constexpr int JSON_DEPTH_LIMIT = 512;
// True when `text` holds one complete object or array with only whitespace around it: every
// string terminated, every bracket closed by its own kind, nesting at most JSON_DEPTH_LIMIT.
// Members and literals are not validated further. One pass, no allocation.
bool json_document_complete(const char *text);

// True when `pos` holds a value other than the not-found result and the literal null.
bool json_present(const char *pos);
// Integer of a value starting with '-' or a digit (strtol base 0); `fallback` otherwise.
long json_long(const char *pos, long fallback);
// Double of a value starting with '-' or a digit (strtod); `fallback` otherwise.
double json_double(const char *pos, double fallback);
// True exactly when the value starts with 't' (the literal true).
bool json_true(const char *pos);
