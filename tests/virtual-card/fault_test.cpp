// Faults injected by configuration.
#include <gtest/gtest.h>
