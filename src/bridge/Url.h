#pragma once

#include <map>
#include <string>
#include <string_view>

namespace vantrel::bridge {

// `path` with every byte that may not stand in a URL path as %XX (uppercase hex): the space,
// "?", "#", "%" and every non-ASCII byte among them. "/" stays and separates segments, so a path
// never adds a query or a fragment. Pure.
std::string encodePath(std::string_view path);

// "name=value" items joined with "&", in ascending key order. Names and values keep only
// unreserved characters and !$'()*,;:@/? ; everything else, "&", "=" and "+" included, is %XX,
// so each item arrives whole whatever the server's query parser. Empty map gives "". Pure.
std::string encodeQuery(const std::map<std::string, std::string>& query);

// The request-target of an HTTP request line: the encoded path and, unless the query is empty,
// "?" and the encoded query. A path without a leading "/" gets one, so it can never run into the
// port. Pure.
std::string buildTarget(std::string_view path, const std::map<std::string, std::string>& query);

} // namespace vantrel::bridge
