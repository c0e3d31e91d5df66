#include "dump/JsonWriter.h"

#include <cstdio>

namespace {

void startValue(JsonWriter& w, const char* key) {
    if (!w.first.empty()) {
        if (!w.first.back()) w.text += ',';
        w.first.back() = false;
        w.text += '\n';
        w.text.append(2 * w.first.size(), ' ');
    }
    if (key) w.text += jsonQuote(key) + ": ";
}

void close(JsonWriter& w, char bracket) {
    const bool empty = w.first.back();
    w.first.pop_back();
    if (!empty) {
        w.text += '\n';
        w.text.append(2 * w.first.size(), ' ');
    }
    w.text += bracket;
}

}  // namespace

std::string jsonQuote(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04X", c);
            quoted += escape;
        } else {
            quoted += char(c);
        }
    }
    return quoted + "\"";
}

void jsonBeginObject(JsonWriter& w, const char* key) {
    startValue(w, key);
    w.text += '{';
    w.first.push_back(true);
}

void jsonEndObject(JsonWriter& w) { close(w, '}'); }

void jsonBeginArray(JsonWriter& w, const char* key) {
    startValue(w, key);
    w.text += '[';
    w.first.push_back(true);
}

void jsonEndArray(JsonWriter& w) { close(w, ']'); }

void jsonString(JsonWriter& w, const char* key, const std::string& value) {
    startValue(w, key);
    w.text += jsonQuote(value);
}

void jsonNumber(JsonWriter& w, const char* key, uint64_t value) {
    startValue(w, key);
    w.text += std::to_string(value);
}

void jsonBool(JsonWriter& w, const char* key, bool value) {
    startValue(w, key);
    w.text += value ? "true" : "false";
}
