#include "runtime/errors.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qvi {
namespace {

// Each policy's effect shows in the routines that use it (the approved
// reports, the frmCommon tests). What none of them meets: an exception that is
// not one of the system's errors is a bug, which no policy may swallow.
TEST(OnErrorTest, OnlyTheSystemsErrorsAreAbsorbed) {
  EXPECT_THROW(OnError::ResumeNext()([] { throw std::logic_error("a bug"); }), std::logic_error);
  EXPECT_TRUE(OnError::ResumeNext()([] {}));
  EXPECT_FALSE(OnError::ResumeNext()([] { throw errors::Overflow(); }));
}

}  // namespace
}  // namespace qvi
