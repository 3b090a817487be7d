#pragma once

// Checks run records against docs/record.schema.json. The schema keeps to a small part of JSON
// Schema, and this checker knows exactly that part: a keyword it does not know is an error, so
// the schema cannot grow past what the tests check.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace record_schema {

inline const nlohmann::json& Schema() {
    static const nlohmann::json schema = [] {
        const std::filesystem::path path =
            std::filesystem::path(__FILE__).parent_path() / "../../docs/record.schema.json";
        std::ifstream in(path);
        return nlohmann::json::parse(in, nullptr, false);
    }();
    return schema;
}

inline bool HasType(const nlohmann::json& value, const std::string& type) {
    return type == "null"      ? value.is_null()
           : type == "string"  ? value.is_string()
           : type == "integer" ? value.is_number_integer()
           : type == "number"  ? value.is_number()
           : type == "boolean" ? value.is_boolean()
           : type == "object"  ? value.is_object()
           : type == "array"   ? value.is_array()
                               : false;
}

// What is wrong with `value` under `schema`, one line per fault; empty when it fits.
inline std::string Check(const nlohmann::json& value, const nlohmann::json& schema,
                         const std::string& at) {
    static const std::set<std::string> kNotes = {"$schema", "$id", "title", "description"};
    std::string faults;
    const auto fault = [&faults, &at](const std::string& text) {
        faults += (at.empty() ? "record" : at) + ": " + text + "\n";
    };
    for (const auto& [keyword, rule] : schema.items()) {
        if (kNotes.count(keyword) != 0) {
            continue;
        }
        if (keyword == "type") {
            bool fits = false;
            for (const nlohmann::json& type :
                 rule.is_array() ? rule : nlohmann::json::array({rule})) {
                fits = fits || HasType(value, type.get<std::string>());
            }
            if (!fits) {
                fault("not of type " + rule.dump());
            }
        } else if (keyword == "enum") {
            if (std::find(rule.begin(), rule.end(), value) == rule.end()) {
                fault(value.dump() + " is none of " + rule.dump());
            }
        } else if (keyword == "pattern") {
            if (value.is_string() &&
                !std::regex_search(value.get<std::string>(), std::regex(rule.get<std::string>()))) {
                fault(value.dump() + " does not match " + rule.get<std::string>());
            }
        } else if (keyword == "minLength") {
            if (value.is_string() && value.get<std::string>().size() < rule.get<size_t>()) {
                fault("shorter than " + rule.dump());
            }
        } else if (keyword == "minimum" || keyword == "maximum") {
            if (value.is_number() &&
                (keyword == "minimum" ? value.get<double>() < rule.get<double>()
                                      : value.get<double>() > rule.get<double>())) {
                fault(value.dump() + " beyond the " + keyword + " " + rule.dump());
            }
        } else if (keyword == "required") {
            for (const nlohmann::json& name : rule) {
                if (value.is_object() && !value.contains(name.get<std::string>())) {
                    fault("lacks " + name.get<std::string>());
                }
            }
        } else if (keyword == "properties") {
            for (const auto& [name, sub] : rule.items()) {
                if (value.is_object() && value.contains(name)) {
                    faults += Check(value[name], sub, at.empty() ? name : at + "." + name);
                }
            }
        } else if (keyword == "additionalProperties") {
            if (rule != false) {
                fault("the checker knows additionalProperties: false only");
            }
            for (auto item = value.begin(); value.is_object() && item != value.end(); ++item) {
                if (!schema.contains("properties") || !schema["properties"].contains(item.key())) {
                    fault("has " + item.key() + ", which the schema does not name");
                }
            }
        } else if (keyword == "items") {
            for (size_t i = 0; value.is_array() && i < value.size(); ++i) {
                faults += Check(value[i], rule, at + "[" + std::to_string(i) + "]");
            }
        } else {
            fault("the schema's keyword " + keyword + " is not one the checker knows");
        }
    }
    return faults;
}

// What is wrong with a record under the repository's schema; empty when it fits.
inline std::string Faults(const nlohmann::json& record) {
    if (Schema().is_discarded()) {
        return "docs/record.schema.json is not JSON\n";
    }
    return Check(record, Schema(), "");
}

// The record of a JSON line, checked against the schema (a misfit fails the test).
inline nlohmann::json Parsed(const std::string& line) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    EXPECT_EQ(Faults(record), "") << line;
    return record;
}

}  // namespace record_schema
