// The equaliser object: its table is sized once, and two objects share nothing.
#include <gtest/gtest.h>

#include <vector>

#include "eq.h"

namespace {

TEST(Equaliser, TwoObjectsAreIndependent) {
  Equaliser first, second;
  EXPECT_EQ(first.size(), 0);
  EXPECT_EQ(first.gain(0), 1.0f);  // no table yet: every bin passes

  first.init(4);
  second.init(6);
  second.init(2);  // only the first init() sizes the table
  EXPECT_EQ(first.size(), 4);
  EXPECT_EQ(second.size(), 6);

  const float gains[6] = {0.5f, 2.0f, 0.25f, 4.0f, 3.0f, 1.5f};
  second.setBands(gains);
  second.enable(7);
  EXPECT_EQ(second.isEnabled(), 1);
  EXPECT_EQ(first.isEnabled(), 0);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(first.gain(k), 1.0f) << k;
  for (int k = 0; k < 6; ++k) EXPECT_EQ(second.gain(k), gains[k]) << k;

  // Copies give the table's gains and 1.0 past its end; gain() agrees past it too.
  std::vector<float> copied(8, -1.0f);
  second.copyGains(copied.data(), 8);
  EXPECT_EQ(copied, (std::vector<float>{0.5f, 2.0f, 0.25f, 4.0f, 3.0f, 1.5f, 1.0f, 1.0f}));
  EXPECT_EQ(second.gain(6), 1.0f);
  second.copyGains(copied.data(), 3);
  EXPECT_EQ(copied[2], 0.25f);
  EXPECT_EQ(copied[3], 4.0f);  // untouched past count
}

}  // namespace
