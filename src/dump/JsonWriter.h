// A small writer of one JSON document: objects, arrays, strings and
// unsigned numbers, commas placed as values are added.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JsonWriter {
    std::string text;
    std::vector<bool> first;  // per open container: nothing written in it yet
};

void jsonBeginObject(JsonWriter& w, const char* key = nullptr);
void jsonEndObject(JsonWriter& w);
void jsonBeginArray(JsonWriter& w, const char* key = nullptr);
void jsonEndArray(JsonWriter& w);
void jsonString(JsonWriter& w, const char* key, const std::string& value);
void jsonNumber(JsonWriter& w, const char* key, uint64_t value);
void jsonBool(JsonWriter& w, const char* key, bool value);
// Bytes outside printable ASCII are written as \u00XX escapes, so that any
// name from a hostile file still makes valid JSON.
std::string jsonQuote(const std::string& text);
