#pragma once

#include <ostream>
#include <string>

namespace testing_support {

// A case of a parameterised test carries its name, which names the test and is what
// gtest prints of the case: derive the case from it, and instantiate the suite with
// caseName.
struct Named {
  std::string name;
};

inline std::ostream& operator<<(std::ostream& out, const Named& named) { return out << named.name; }

inline constexpr auto caseName = [](const auto& info) { return info.param.name; };

}  // namespace testing_support
