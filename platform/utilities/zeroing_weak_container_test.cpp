#include "platform/utilities/zeroing_weak_container.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/utilities/mutable_dictionary.h"

namespace {

TEST(VDUZeroingWeakContainer, AnswersTheObjectOnlyWhileOthersKeepItAlive) {
  auto object = std::make_shared<std::string>("delegate");
  VDUZeroingWeakContainer<std::string> container(object);
  VDUZeroingWeakContainer<std::string> copy = container;
  EXPECT_EQ(container.object(), object);
  EXPECT_EQ(object.use_count(), 1);  // the containers hold no strong reference

  object.reset();
  EXPECT_EQ(container.object(), nullptr);
  EXPECT_EQ(copy.object(), nullptr);

  EXPECT_EQ(VDUZeroingWeakContainer<std::string>().object(), nullptr);
  auto other = std::make_shared<std::string>("other");
  container.setObject(other);
  EXPECT_EQ(container.object(), other);
}

TEST(VDUSceneZeroingWeakContainer, ZeroesInsideAGuardedTable) {
  VDUMutableDictionary<VDUSceneZeroingWeakContainer<std::string>> table;
  auto scene = std::make_shared<std::string>("scene");
  table.setObject(VDUSceneZeroingWeakContainer<std::string>(scene), "id");
  EXPECT_EQ(table.objectForKey("id")->object(), scene);
  scene.reset();
  ASSERT_TRUE(table.objectForKey("id"));
  EXPECT_EQ(table.objectForKey("id")->object(), nullptr);
}

}  // namespace
