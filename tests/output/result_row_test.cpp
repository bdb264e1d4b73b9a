#include "output/result_row.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A row keeps its own copy of the value, its type and version; a row stored
// again for its OID replaces the old one in place.
TEST(ResultRows, RowsKeepTheirFieldsAndPlace) {
  ResultRows rows;
  {
    std::string value = "temporary text, long enough to live on the heap";
    rows.SetAt("1.3.6.1.2.1.1.1.0", {value, 2, "OCTET STRING", false});
    value.assign(value.size(), '#');  // the map's copy stays as it was
  }
  const std::string type = "INTEGER";  // the same name at another address
  rows.SetAt("1.3.6.1.2.1.1.7.0", {"72", 1, "INTEGER", false});
  rows.SetAt("1.3.6.1.2.1.1.3.0", {"5", 3, type.c_str(), false});
  rows.SetAt("1.3.6.1.2.1.2.2.1.6.1", {"AAEC\r\n", 0, "OCTET STRING", true});
  rows.SetAt("", {"", 0, nullptr, false});

  auto row = rows.Find("1.3.6.1.2.1.1.1.0");
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->value, "temporary text, long enough to live on the heap");
  EXPECT_EQ(row->version, 2);
  EXPECT_STREQ(row->type, "OCTET STRING");
  EXPECT_FALSE(row->base64);
  EXPECT_STREQ(rows.Find("1.3.6.1.2.1.1.3.0")->type, "INTEGER");
  EXPECT_TRUE(rows.Find("1.3.6.1.2.1.2.2.1.6.1")->base64);
  EXPECT_EQ(rows.Find("")->type, nullptr);
  EXPECT_FALSE(rows.Find("1.3.6.1.2.1.1.1").has_value());

  std::vector<std::string> order;
  rows.ForEach([&](std::string_view oid, const ResultRow&) { order.emplace_back(oid); });
  rows.SetAt("1.3.6.1.2.1.1.1.0", {"second", 3, nullptr, true});
  rows.SetAt("1.3.6.1.2.1.1.7.0", {"", 2, "INTEGER", false});
  std::vector<std::string> again;
  rows.ForEach([&](std::string_view oid, const ResultRow&) { again.emplace_back(oid); });
  EXPECT_EQ(again, order);
  EXPECT_EQ(rows.GetCount(), 5u);
  row = rows.Find("1.3.6.1.2.1.1.1.0");
  EXPECT_EQ(row->value, "second");
  EXPECT_EQ(row->version, 3);
  EXPECT_EQ(row->type, nullptr);
  EXPECT_TRUE(row->base64);
  EXPECT_EQ(rows.Find("1.3.6.1.2.1.1.7.0")->value, "");
}

}  // namespace
