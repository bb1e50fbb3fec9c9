#include "os/url.h"

#include <gtest/gtest.h>
