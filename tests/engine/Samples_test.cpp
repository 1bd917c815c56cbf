// ClampToInt16.

#include "Samples.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "Stream.h"
#include "TempDir.h"
#include "WaveFFT.h"

namespace merolune {
namespace {

// ---------------------------------------------------------------------------------------------
// ClampToInt16

static_assert(ClampToInt16(32767) == 32767);
static_assert(ClampToInt16(32768) == 32767);
static_assert(ClampToInt16(-32768) == -32768);
static_assert(ClampToInt16(-32769) == -32768);

class ClampToInt16Value : public ::testing::TestWithParam<std::pair<std::int32_t, std::int16_t>> {};

TEST_P(ClampToInt16Value, LimitsWithoutWrapping) {
  EXPECT_EQ(ClampToInt16(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ClampToInt16Value,
    ::testing::Values(std::pair<std::int32_t, std::int16_t>{0, 0}, std::pair<std::int32_t, std::int16_t>{-1, -1},
                      std::pair<std::int32_t, std::int16_t>{12345, 12345},
                      std::pair<std::int32_t, std::int16_t>{32767, 32767},
                      std::pair<std::int32_t, std::int16_t>{32768, 32767},
                      std::pair<std::int32_t, std::int16_t>{65536, 32767},
                      std::pair<std::int32_t, std::int16_t>{std::numeric_limits<std::int32_t>::max(), 32767},
                      std::pair<std::int32_t, std::int16_t>{-32768, -32768},
                      std::pair<std::int32_t, std::int16_t>{-32769, -32768},
                      std::pair<std::int32_t, std::int16_t>{-65536, -32768},
                      std::pair<std::int32_t, std::int16_t>{std::numeric_limits<std::int32_t>::min(), -32768}));

}  // namespace
}  // namespace merolune
