// The link's one strict JSON reader on the texts a hostile unit or a
// damaged outbox may hand it: each is read whole or refused, within bounds.
#include <gtest/gtest.h>

#include <string>

#include "tools/dorvane-mqtt/json_value.h"

namespace {

// An object of n distinct members.
std::string membersObject(size_t n) {
    std::string text = "{";
    for (size_t i = 0; i < n; ++i) {
        text += (i == 0 ? "\"" : ",\"") + std::to_string(i) + "\":0";
    }
    return text + "}";
}

TEST(JsonValue, StrictAndBounded) {
    const std::string deep =
        std::string(mqttlink::kMaxJsonDepth, '[') + "0" + std::string(mqttlink::kMaxJsonDepth, ']');
    struct {
        std::string text;
        bool read;
    } cases[] = {
        {"{\"v\":1,\"id\":\"a\\u00e9\\ud83d\\ude00\",\"x\":[true,false,null,-0.5e+3]}", true},
        {membersObject(mqttlink::kMaxJsonMembers), true},
        {deep, true},
        // Many members, each checked against those before it: refused, not
        // read for most of a minute.
        {membersObject(mqttlink::kMaxJsonMembers + 1), false},
        {membersObject(100000), false},
        {"[" + deep + "]", false},
        {"{\"a\":1,\"a\":2}", false},
        {"{\"a\":1}\n{", false},
        {"{\"a\":\"\\ud800\"}", false},
        {"{\"a\":\"\xc0\xaf\"}", false},
        {"{\"a\":01}", false},
        {std::string("{\"a\":\"\0\"}", 9), false},
        {"\"" + std::string(mqttlink::kMaxJsonBytes, 'a') + "\"", false},
    };
    for (const auto& c : cases) {
        mqttlink::JsonValue v;
        EXPECT_EQ(c.read, mqttlink::parseJson(c.text, &v)) << c.text.substr(0, 80);
    }
}

}  // namespace
