// The one switch between the portable kernels and the AVX2 + FMA ones.
#include "SimdPath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace merolune {
namespace {

// Whether the kernel reports both flags for the first processor, read independently of the
// compiler's processor checks.
bool CpuInfoHasAvx2AndFma() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    bool avx2 = false, fma = false;
    std::string word;
    while (words >> word) {
      avx2 = avx2 || word == "avx2";
      fma = fma || word == "fma";
    }
    return avx2 && fma;
  }
  return false;
}

bool PortableRequested() {
  const char* value = std::getenv("MEROLUNE_SIMD");
  return value != nullptr && std::string_view(value) == "portable";
}

class SimdPathSwitch : public ::testing::Test {
 protected:
  ~SimdPathSwitch() override { SelectSimdPath(SimdPath::kAuto); }
};

TEST_F(SimdPathSwitch, AutoTakesAvx2FmaExactlyWhenTheProcessorHasThemAndPortableIsNotRequested) {
  ASSERT_TRUE(SelectSimdPath(SimdPath::kAuto));
  const bool wide = CpuInfoHasAvx2AndFma() && !PortableRequested();
  EXPECT_EQ(ActiveSimdPath(), wide ? SimdPath::kAvx2Fma : SimdPath::kPortable);
  EXPECT_EQ(UseAvx2Fma(), wide);
}

TEST_F(SimdPathSwitch, PortableCanAlwaysBeSelected) {
  ASSERT_TRUE(SelectSimdPath(SimdPath::kPortable));
  EXPECT_EQ(ActiveSimdPath(), SimdPath::kPortable);
  EXPECT_FALSE(UseAvx2Fma());
}

TEST_F(SimdPathSwitch, Avx2FmaIsSelectedOnlyWhenTheProcessorHasThem) {
  ASSERT_TRUE(SelectSimdPath(SimdPath::kPortable));
  const bool has = CpuInfoHasAvx2AndFma();
  EXPECT_EQ(SelectSimdPath(SimdPath::kAvx2Fma), has);
  // A refused selection changes nothing.
  EXPECT_EQ(ActiveSimdPath(), has ? SimdPath::kAvx2Fma : SimdPath::kPortable);
}

TEST_F(SimdPathSwitch, ActiveIsNeverAuto) {
  for (const SimdPath path : {SimdPath::kAuto, SimdPath::kPortable, SimdPath::kAvx2Fma}) {
    SelectSimdPath(path);
    EXPECT_NE(ActiveSimdPath(), SimdPath::kAuto);
  }
}

}  // namespace
}  // namespace merolune
