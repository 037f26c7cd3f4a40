// Mathematical constants, each written once, as the doubles the formulas were designed with. They are
// literals rather than std::numbers values so that a reader can compare them digit for digit with the
// formulas' documentation; each equals the double nearest the exact value.
#pragma once

namespace expcoil {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kInversePi = 0.3183098861837907;           // 1 / pi
inline constexpr double kRadiansPerDegree = 0.017453292519943295;  // pi / 180
inline constexpr double kDegreesPerRadian = 57.29577951308232;     // 180 / pi

}  // namespace expcoil
