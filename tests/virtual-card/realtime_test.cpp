// The real-time clock.
#include <gtest/gtest.h>
