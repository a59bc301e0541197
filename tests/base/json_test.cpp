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

std::string at(const char *pos, size_t n) { return std::string(pos, std::min(n, std::strlen(pos))); }

} // namespace

TEST(json, type_by_first_byte) {
    struct Case {
        const char *text;
        JsonType type;
    } cases[] = {{"{}", JSON_OBJECT}, {"[1]", JSON_ARRAY},    {"\"x\"", JSON_STRING},
                 {"-1", JSON_PRIMITIVE}, {"7", JSON_PRIMITIVE}, {"true", JSON_PRIMITIVE},
                 {"false", JSON_PRIMITIVE}, {"null", JSON_PRIMITIVE}, {" {}", JSON_INVALID},
                 {"x", JSON_INVALID},   {"", JSON_INVALID},    {"+1", JSON_INVALID}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(json_type(c.text), c.type);
    }
    EXPECT_EQ(json_type(nullptr), JSON_INVALID);
    EXPECT_EQ(json_type(JSON_NOT_FOUND), JSON_PRIMITIVE);
}

TEST(json, path_lookup) {
    const char *t = R"({"a":{"b":[1,2]}})";
    const char *arr = json_get(t, ".a.b");
    EXPECT_EQ(arr, std::strchr(t, '['));
    const char *two = json_get(t, ".a.b.1");
    EXPECT_EQ(*two, '2');
    EXPECT_EQ(json_get(t, ".a.b.2"), JSON_NOT_FOUND);
    EXPECT_EQ(json_get(t, ".a.c"), JSON_NOT_FOUND);
    EXPECT_EQ(json_get(two, ".x"), JSON_NOT_FOUND);
    EXPECT_EQ(json_get(JSON_NOT_FOUND, ".a"), JSON_NOT_FOUND);
    // Text before the first full stop is ignored; no full stop gives the start back.
    EXPECT_EQ(json_get(t, "ignored.a.b.0"), std::strchr(t, '1'));
    EXPECT_EQ(json_get(t, "nodot"), t);
}

TEST(json, path_index_bases) {
    const char *t = "[0,1,2,3,4,5,6,7,8,9,10]";
    EXPECT_STREQ(at(json_get(t, ".010"), 1).c_str(), "8");    // octal
    EXPECT_STREQ(at(json_get(t, ".0x1"), 1).c_str(), "1");    // hexadecimal
    EXPECT_STREQ(at(json_get(t, ".10"), 2).c_str(), "10");    // decimal
    EXPECT_EQ(json_get("[]", ".0"), JSON_NOT_FOUND);
    EXPECT_EQ(json_get("[ ]", ".0"), JSON_NOT_FOUND);
    EXPECT_EQ(json_get("{\"a\":1}", ".0"), JSON_NOT_FOUND);
}

TEST(json, path_whitespace_and_nesting) {
    const char *t = " {\n \"a\" : [ {\"x\":1} ,\t{ \"x\" : \"two\" } ] }";
    EXPECT_EQ(json_text(json_get(t, ".a.1.x")), "two");
    // A path longer than the working buffer is cut, never overflowed.
    std::string long_path(2000, 'a');
    long_path[0] = '.';
    EXPECT_EQ(json_get(t, long_path.c_str()), JSON_NOT_FOUND);
}

TEST(json, find_matches_raw_bytes) {
    const char *t = R"({"a\"b":1,"a":2,"a":3})";
    EXPECT_EQ(*json_find(t, "a\\\"b"), '1');
    EXPECT_EQ(json_find(t, "a\"b"), nullptr);
    EXPECT_EQ(*json_find(t, "a"), '2'); // the first duplicate wins
    EXPECT_EQ(json_find(t, "ab"), nullptr);
    EXPECT_EQ(json_find("[1]", "a"), nullptr);
    EXPECT_EQ(json_find(R"({"a":x})", "a"), nullptr); // an invalid value is absent
}

TEST(json, braces_inside_strings) {
    const char *t = R"({"a":"}{","b":1})";
    EXPECT_EQ(*json_get(t, ".b"), '1');
    const char *u = R"({"a":["]","[",{"c":"]}"}],"b":[true]})";
    EXPECT_EQ(*json_get(u, ".b.0"), 't');
    // Square brackets are not counted inside objects, braces not inside arrays.
    EXPECT_EQ(*json_get(R"({"a":{"x":[}, "b":2})", ".a"), '{');
    EXPECT_EQ(json_skip(R"({"x":[})"), std::strchr(R"({"x":[})", '\0'));
}

TEST(json, first_and_next) {
    const char *t = "[ 1 , \"two\" ,{\"x\":[3]}, [4] ]";
    std::vector<std::string> seen;
    for (const char *e = json_first(t); e; e = json_next(e)) seen.push_back(at(e, 1));
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "\"", "{", "["}));
    EXPECT_EQ(json_first("[]"), nullptr);
    EXPECT_EQ(json_first("[ \n ]"), nullptr);
    EXPECT_EQ(json_first("{}"), nullptr);
    EXPECT_EQ(json_first("[x]"), nullptr);
    EXPECT_NE(json_first("  [1]"), nullptr);
    // A trailing comma gives no phantom element.
    const char *trailing = "[1, 2, ]";
    EXPECT_EQ(json_next(json_next(json_first(trailing))), nullptr);
}

TEST(json, literal_skipping) {
    const char *t = "-1.5e+10,";
    EXPECT_EQ(json_skip(t), t + 8);
    const char *u = "false]";
    EXPECT_EQ(json_skip(u), u + 5);
    EXPECT_EQ(json_skip("x"), nullptr);
    EXPECT_EQ(json_skip(nullptr), nullptr);
}

TEST(json, unescape_table) {
    // x, U+00E9, \r dropped, \n, y, \t kept as two characters, z
    const char *t = R"("x\u00e9\r\ny\tz")";
    EXPECT_EQ(json_text(t), "x\xC3\xA9\ny\\tz");
    EXPECT_EQ(json_text(R"("\\\"\/")"), "\\\"/");
    EXPECT_EQ(json_text(R"("\u0041\u07ff\u0800\uffff")"), "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    // Surrogate halves are encoded one by one.
    EXPECT_EQ(json_text(R"("\ud83d\ude00")"), "\xED\xA0\xBD\xED\xB8\x80");
    // A \u without four hex digits stays as written.
    EXPECT_EQ(json_text(R"("\u12")"), "\\u12");
    EXPECT_EQ(json_text(R"("\uzzzz")"), "\\uzzzz");
    EXPECT_EQ(json_unescape("abc", 0), "");
    EXPECT_EQ(json_unescape("abc", -3), "");
    EXPECT_EQ(json_unescape("a\\", 2), "a\\");
    // Growth past the first buffer keeps every byte.
    std::string big(1000, 'q');
    EXPECT_EQ(json_unescape(big.c_str(), static_cast<long>(big.size())), big);
}

TEST(json, strdup_keeps_escapes) {
    EXPECT_EQ(json_strdup(R"("a\"b\u0041")"), std::optional<std::string>("a\\\"b\\u0041"));
    EXPECT_EQ(json_strdup(R"("")"), std::optional<std::string>(""));
    EXPECT_EQ(json_strdup("12"), std::nullopt);
    EXPECT_EQ(json_strdup("true"), std::nullopt);
    EXPECT_EQ(json_strdup(JSON_NOT_FOUND), std::nullopt);
    EXPECT_EQ(json_text(JSON_NOT_FOUND), "");
    EXPECT_EQ(json_text("12"), "");
    EXPECT_EQ(json_text("true"), "");
}

TEST(json, number_and_switch_helpers) {
    EXPECT_EQ(json_long("0x10", 9), 16);
    EXPECT_EQ(json_long("-7", 9), -7);
    EXPECT_EQ(json_long("\"7\"", 9), 9);
    EXPECT_DOUBLE_EQ(json_double("2.5", 1.0), 2.5);
    EXPECT_DOUBLE_EQ(json_double("null", 1.0), 1.0);
    EXPECT_TRUE(json_true("true"));
    EXPECT_FALSE(json_true("false"));
    EXPECT_FALSE(json_true("\"true\""));
    EXPECT_FALSE(json_present(JSON_NOT_FOUND));
    EXPECT_FALSE(json_present("null"));
    EXPECT_TRUE(json_present("0"));
}

TEST(json_malformed, truncated_text_never_reads_past_the_end) {
    const char *inputs[] = {
        "\"abc",        "\"abc\\",     "{\"a\":1",      "{\"a\":\"}",  "[1,2",
        "{\"a\"",      "{\"a\":",       "[\"\\",       "{\"x\":{\"y\":[",
        "{",            "[",           "\"",
    };
    for (const char *in : inputs) {
        SCOPED_TRACE(in);
        Exact t(in);
        const char *p = t.c_str();
        EXPECT_EQ(json_skip(p), nullptr);
        EXPECT_EQ(json_get(p, ".b"), JSON_NOT_FOUND);
        EXPECT_EQ(json_get(p, ".a.0.b"), JSON_NOT_FOUND);
        EXPECT_EQ(json_find(p, "zz"), nullptr);
        EXPECT_EQ(json_strdup(p), std::nullopt);
        for (const char *e = json_first(p); e; e = json_next(e)) {
        }
    }
}

TEST(json_malformed, broken_members_end_the_search) {
    // Skipping only counts brackets, so these skip whole, but member search stops at the fault.
    for (const char *in : {"{\"a\" 1}", "{\"a\":1 \"b\":2}", "{\"a\":1,}", "{1:2}"}) {
        SCOPED_TRACE(in);
        Exact t(in);
        EXPECT_NE(json_skip(t.c_str()), nullptr);
        EXPECT_EQ(json_find(t.c_str(), "b"), nullptr);
    }
}

TEST(json_malformed, string_cut_after_backslash) {
    Exact t("{\"a\":\"x\\");
    EXPECT_EQ(json_find(t.c_str(), "a") , t.c_str() + 5); // found: the value starts
    EXPECT_EQ(json_find(t.c_str(), "b"), nullptr);        // skipping it fails
    EXPECT_EQ(json_text(t.c_str() + 5), "");
}

TEST(json_malformed, whole_documents_and_their_depth) {
    std::string deep_ok(JSON_DEPTH_LIMIT, '[');
    deep_ok += std::string(JSON_DEPTH_LIMIT, ']');
    std::string too_deep(100000, '[');
    too_deep += std::string(100000, ']');
    struct Case {
        std::string text;
        bool complete;
    } cases[] = {
        {R"( {"a":[1,{"b":"}]"}],"c":null} )", true},
        {"[]", true},
        {deep_ok, true},
        {too_deep, false},
        {"<html>Service unavailable</html>", false},
        {"", false},
        {"\"just a string\"", false},
        {R"({"a":[1,2})", false},   // bracket closed by the wrong kind
        {R"({"a":"cut)", false},    // string never ends
        {R"({"a":1}})", false},     // a closing brace too many
        {R"({"a":1} {"b":2})", false}, // two documents
        {R"({"a":"\"}"})", true},   // an escaped quote inside a string
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Exact text(c.text);
        EXPECT_EQ(json_document_complete(text.c_str()), c.complete);
    }
    EXPECT_FALSE(json_document_complete(nullptr));
}

// Texts are cut on a character boundary; a cut reads no further than the kept bytes need, so a
// string of 64 MB costs no more than its first kilobytes.
TEST(json, cuts_keep_whole_characters) {
    // "é" is two bytes: a cut through its middle drops it whole.
    std::string e_acute = "\xC3\xA9";
    struct Case {
        std::string content; // between the quotes
        size_t limit;
        std::string text;    // json_text
        std::string raw;     // json_strdup
    } cases[] = {
        {"ab" + e_acute + "cd", 3, "ab", "ab"},
        {"ab" + e_acute + "cd", 4, "ab" + e_acute, "ab" + e_acute},
        {"ab\\u00e9cd", 3, "ab", "ab\\"},
        {"ab\\u00e9cd", 4, "ab" + e_acute, "ab\\u"},
        {"abc", 3, "abc", "abc"},
        {"abc", 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content + " cut at " + std::to_string(c.limit));
        Exact text("\"" + c.content + "\"");
        EXPECT_EQ(json_text(text.c_str(), c.limit), c.text);
        EXPECT_EQ(json_strdup(text.c_str(), c.limit).value_or("<absent>"), c.raw);
    }
    std::string huge = "{\"title\":\"";
    for (int i = 0; i < (64 << 20) / 2; ++i) huge += e_acute;
    huge += "\",\"after\":7}";
    const char *title = json_get(huge.c_str(), ".title");
    std::string cut = json_text(title, 4095);
    EXPECT_EQ(cut.size(), 4094u);
    EXPECT_EQ(cut.substr(cut.size() - 2), e_acute);
    EXPECT_EQ(json_long(json_get(huge.c_str(), ".after"), 0), 7);
}
