#include <gtest/gtest.h>

#include "geometry/mesh.h"

TEST(Geometry, Placeholder) { EXPECT_EQ(Normal(cTriangle()).x, 0.0f); }
