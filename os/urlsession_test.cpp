#include "os/urlsession.h"

#include <gtest/gtest.h>
