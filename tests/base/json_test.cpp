#include "base/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Copies `text` into an exactly sized buffer so that ASan flags any read past the NUL.
struct Exact {
    explicit Exact(std::string_view text) : bytes(text.begin(), text.end()) { bytes.push_back('\0'); }
    const char *c_str() const { return bytes.data(); }
    std::vector<char> bytes;
};

// The text at `pos`, cut to the length of `want`: what a lookup's result starts with.
std::string start(const char *pos, const char *want) { return std::string(pos).substr(0, std::strlen(want)); }

} // namespace

// json_get by dotted path and json_find by member name; `want` starts the result, nullptr: absent.
TEST(json, lookups) {
    const char *t = R"({"a":{"b":[1,2]}})", *digits = "[0,1,2,3,4,5,6,7,8,9,10]";
    const char *dup = R"({"a\"b":1,"a":2,"a":3})";
    struct Case { const char *doc, *path, *want; bool find = false; } cases[] = {
        {t, ".a.b", "[1,2]"}, {t, ".a.b.1", "2]"}, {t, ".a.b.2", nullptr}, {t, ".a.c", nullptr},
        {"2", ".x", nullptr},
        {t, "ignored.a.b.0", "1,"}, // text before the first full stop is ignored
        {t, "nodot", "{\"a\""},     // no full stop gives the start back
        {digits, ".010", "8,"}, {digits, ".0x1", "1,"}, {digits, ".10", "10]"}, // octal, hex
        {"[]", ".0", nullptr}, {"[ ]", ".0", nullptr}, {"{\"a\":1}", ".0", nullptr},
        {" {\n \"a\" : [ {\"x\":1} ,\t{ \"x\" : \"two\" } ] }", ".a.1.x", "\"two\""},
        // Brackets inside strings are not counted, nor square ones in objects or braces in arrays.
        {R"({"a":"}{","b":1})", ".b", "1}"},
        {R"({"a":["]","[",{"c":"]}"}],"b":[true]})", ".b.0", "true"},
        {R"({"a":"\"}","b":1})", ".b", "1}"},
        {R"({"a":{"x":[}, "b":2})", ".a", "{\"x\""},
        {dup, "a\\\"b", "1", true}, {dup, "a\"b", nullptr, true}, {dup, "ab", nullptr, true},
        {dup, "a", "2", true}, // the first duplicate wins
        {"[1]", "a", nullptr, true},
        {R"({"a":x})", "a", nullptr, true}, // an invalid value is absent
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.doc) + " " + c.path);
        const char *got = c.find ? json_find(c.doc, c.path) : json_get(c.doc, c.path);
        if (!c.want) {
            EXPECT_EQ(got, c.find ? nullptr : JSON_NOT_FOUND);
        } else {
            EXPECT_EQ(start(got, c.want), c.want);
        }
    }
    EXPECT_EQ(json_get(JSON_NOT_FOUND, ".a"), JSON_NOT_FOUND);
    // A path longer than the working buffer is cut, never overflowed.
    std::string long_path(2000, 'a');
    long_path[0] = '.';
    EXPECT_EQ(json_get(t, long_path.c_str()), JSON_NOT_FOUND);
}

TEST(json, skipping_and_array_walks) {
    const std::pair<const char *, long> skips[] = {
        {"-1.5e+10,", 8}, {"false]", 5}, {"x", -1}, {R"({"x":[})", 7}};
    for (auto [text, length] : skips)
        EXPECT_EQ(json_skip(text), length < 0 ? nullptr : text + length) << text;
    EXPECT_EQ(json_skip(nullptr), nullptr);
    const char *t = "[ 1 , \"two\" ,{\"x\":[3]}, [4] ]";
    std::string seen;
    for (const char *e = json_first(t); e; e = json_next(e)) seen += *e;
    EXPECT_EQ(seen, "1\"{[");
    for (const char *empty : {"[]", "[ \n ]", "{}", "[x]"}) EXPECT_EQ(json_first(empty), nullptr);
    EXPECT_NE(json_first("  [1]"), nullptr);
    // A trailing comma gives no phantom element.
    EXPECT_EQ(json_next(json_next(json_first("[1, 2, ]"))), nullptr);
}

TEST(json, strings_decoded_and_raw) {
    const std::pair<const char *, const char *> decoded[] = {
        // x, U+00E9, \r dropped, \n, y, \t kept as two characters, z
        {R"("x\u00e9\r\ny\tz")", "x\xC3\xA9\ny\\tz"},
        {R"("\\\"\/")", "\\\"/"},
        {R"("\u0041\u07ff\u0800\uffff")", "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("\ud83d\ude00")", "\xED\xA0\xBD\xED\xB8\x80"}, // surrogate halves one by one
        {R"("\u12")", "\\u12"}, {R"("\uzzzz")", "\\uzzzz"}, // no four hex digits: as written
        {JSON_NOT_FOUND, ""}, {"12", ""}, {"true", ""},
    };
    for (auto [text, want] : decoded) EXPECT_EQ(json_text(text), want) << text;
    for (auto [text, length, want] : {std::tuple{"abc", 0L, ""}, {"abc", -3L, ""}, {"a\\", 2L, "a\\"}})
        EXPECT_EQ(json_unescape(text, length), want) << length;
    std::string big(1000, 'q'); // growth past the first buffer keeps every byte
    EXPECT_EQ(json_unescape(big.c_str(), static_cast<long>(big.size())), big);
    const std::pair<const char *, std::optional<std::string>> raw[] = {
        {R"("a\"b\u0041")", "a\\\"b\\u0041"}, {R"("")", ""}, {"12", std::nullopt},
        {"true", std::nullopt}, {JSON_NOT_FOUND, std::nullopt}};
    for (const auto &[text, want] : raw) EXPECT_EQ(json_strdup(text), want) << text;
}

TEST(json, type_number_and_switch_helpers) {
    // The type is read from the first byte: no whitespace skipped, "not found" a primitive.
    EXPECT_EQ(std::tuple(json_type("[1]"), json_type(" {}"), json_type("+1"), json_type(nullptr)),
              std::tuple(JSON_ARRAY, JSON_INVALID, JSON_INVALID, JSON_INVALID));
    EXPECT_EQ(json_type(JSON_NOT_FOUND), JSON_PRIMITIVE);
    EXPECT_EQ(std::tuple(json_long("0x10", 9), json_long("-7", 9), json_long("\"7\"", 9)), std::tuple(16, -7, 9));
    EXPECT_EQ(std::pair(json_double("2.5", 1.0), json_double("null", 1.0)), std::pair(2.5, 1.0));
    EXPECT_TRUE(json_true("true") && !json_true("false") && !json_true("\"true\""));
    EXPECT_TRUE(json_present("0") && !json_present(JSON_NOT_FOUND) && !json_present("null"));
}

TEST(json_malformed, truncated_text_never_reads_past_the_end) {
    for (const char *in : {"\"abc", "\"abc\\", "{\"a\":1", "{\"a\":\"}", "[1,2", "{\"a\"",
                           "{\"a\":", "[\"\\", "{\"x\":{\"y\":[", "{", "[", "\""}) {
        SCOPED_TRACE(in);
        Exact t(in);
        const char *p = t.c_str();
        EXPECT_EQ(json_skip(p), nullptr);
        EXPECT_EQ(json_get(p, ".b"), JSON_NOT_FOUND);
        EXPECT_EQ(json_get(p, ".a.0.b"), JSON_NOT_FOUND);
        EXPECT_EQ(json_find(p, "zz"), nullptr);
        EXPECT_EQ(json_strdup(p), std::nullopt);
        for (const char *e = json_first(p); e; e = json_next(e)) continue;
    }
    // Skipping counts only brackets, so these skip whole; member search stops at the fault.
    for (const char *in : {"{\"a\" 1}", "{\"a\":1 \"b\":2}", "{\"a\":1,}", "{1:2}"}) {
        SCOPED_TRACE(in);
        Exact t(in);
        EXPECT_NE(json_skip(t.c_str()), nullptr);
        EXPECT_EQ(json_find(t.c_str(), "b"), nullptr);
    }
    Exact t("{\"a\":\"x\\"); // a string cut after a backslash
    EXPECT_EQ(json_find(t.c_str(), "a"), t.c_str() + 5); // found: the value starts
    EXPECT_EQ(json_find(t.c_str(), "b"), nullptr);       // skipping it fails
    EXPECT_EQ(json_text(t.c_str() + 5), "");
}

TEST(json_malformed, whole_documents_and_their_depth) {
    std::string deep_ok = std::string(JSON_DEPTH_LIMIT, '[') + std::string(JSON_DEPTH_LIMIT, ']');
    std::string too_deep = std::string(100000, '[') + std::string(100000, ']');
    const std::pair<std::string, bool> cases[] = {
        {R"( {"a":[1,{"b":"}]"}],"c":null} )", true}, {"[]", true}, {deep_ok, true},
        {too_deep, false}, {"<html>Service unavailable</html>", false}, {"", false},
        {"\"just a string\"", false},
        {R"({"a":[1,2})", false},      // bracket closed by the wrong kind
        {R"({"a":"cut)", false},       // string never ends
        {R"({"a":1}})", false},        // a closing brace too many
        {R"({"a":1} {"b":2})", false}, // two documents
        {R"({"a":"\"}"})", true},      // an escaped quote inside a string
    };
    for (const auto &[text, complete] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_EQ(json_document_complete(Exact(text).c_str()), complete);
    }
    EXPECT_FALSE(json_document_complete(nullptr));
}

// Texts are cut on a character boundary, reading no further than the kept bytes need.
TEST(json, cuts_keep_whole_characters) {
    std::string acute = "\xC3\xA9"; // a cut through its middle drops it whole
    // Content between the quotes, limit, json_text, json_strdup.
    const std::tuple<std::string, size_t, std::string, std::string> cases[] = {
        {"ab" + acute + "cd", 3, "ab", "ab"}, {"ab" + acute + "cd", 4, "ab" + acute, "ab" + acute},
        {"ab\\u00e9cd", 3, "ab", "ab\\"}, {"ab\\u00e9cd", 4, "ab" + acute, "ab\\u"},
        {"abc", 3, "abc", "abc"}, {"abc", 0, "", ""}};
    for (const auto &[content, limit, decoded, raw] : cases) {
        SCOPED_TRACE(content + " cut at " + std::to_string(limit));
        Exact text("\"" + content + "\"");
        EXPECT_EQ(json_text(text.c_str(), limit), decoded);
        EXPECT_EQ(json_strdup(text.c_str(), limit).value_or("<absent>"), raw);
    }
    std::string huge = "{\"title\":\"";
    for (int i = 0; i < (64 << 20) / 2; ++i) huge += acute;
    huge += "\",\"after\":7}";
    std::string cut = json_text(json_get(huge.c_str(), ".title"), 4095);
    EXPECT_EQ(cut.size(), 4094u);
    EXPECT_EQ(cut.substr(cut.size() - 2), acute);
    EXPECT_EQ(json_long(json_get(huge.c_str(), ".after"), 0), 7);
}
