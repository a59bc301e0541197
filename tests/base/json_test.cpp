#include "base/json.h"

#include <gtest/gtest.h>

TEST(json, smoke_path) {
    const char *t = R"({"a":{"b":[1,2]}})";
    EXPECT_EQ(json_type(json_get(t, ".a.b")), JSON_ARRAY);
}
