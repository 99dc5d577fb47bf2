// Checks that a document has what a Swagger 2.0 viewer needs; returns the problems found.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> SwaggerProblems(const std::string& json_text);

/// Parses YAML text with Python's YAML reader and returns it as JSON text ("" when it fails).
std::string YAMLToJSON(const std::string& yaml_text);
