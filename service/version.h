#pragma once
// The build this is: the banner line the binary prints, and its build number
// alone for the metrics' build_info labels.

namespace kelvaro {

constexpr const char* kBuildNumber = "3";
constexpr const char* kVersionLine = "Kelvaro (Build 3)";

}  // namespace kelvaro
