// What the backend expects of each request: the form parameters it must carry and the order
// in which their values are signed. Kept apart from the SDK's own request builders on
// purpose: a wrong order or a missing parameter in either program shows up as a rejection.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

using Form = std::vector<std::pair<std::string, std::string>>;

struct RequestRule {
    const char* path;
    // Every name the form must carry (values may be empty).
    std::vector<const char*> required;
    // The values concatenated, in this order, before the MD5; "appKey" stands for the
    // app's configured key, never for a form value.
    std::vector<const char*> signOrder;
};

// The rule for a signed form path, or null for any other path.
const RequestRule* FindRule(const std::string& path);

// Decodes an application/x-www-form-urlencoded body ("+" is a space, "%XX" a byte). Returns
// nothing for a body that is not a form: a "%" without two hex digits, a pair without "=",
// an empty name, or a name given twice.
std::optional<Form> DecodeForm(const std::string& body);

// The first value of name, or null.
const std::string* FormValue(const Form& form, const std::string& name);

// The signature the backend expects: lowercase hex MD5 of the values in rule.signOrder.
std::string ExpectedSign(const RequestRule& rule, const Form& form, const std::string& appKey);

std::string Md5Hex(const std::string& text);

}  // namespace devserver
