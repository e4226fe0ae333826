// What each reply to a pasted address does to the local file it resumes.
#include "app/core/HttpResume.hpp"

#include <gtest/gtest.h>

using namespace app;

TEST(HttpResume, OnlyAWholeOrAMatchingPartialDocumentTouchesTheFile)
{
    const struct {
        int status;
        std::int64_t have;
        const char* range;
        THttpResume want;
    } cases[] = {
        { 200, 1000, "", hrRewrite },                    // range ignored: the whole document
        { 206, 1000, "bytes 1000-1999/2000", hrAppend }, // the rest, where the file ends
        { 206, 1000, "bytes 0-1999/2000", hrKeep },      // a part from elsewhere
        { 206, 1000, "", hrKeep },
        { 416, 2000, "bytes */2000", hrComplete },       // already whole
        { 416, 2000, " BYTES */2000 ", hrComplete },
        { 416, 3000, "bytes */2000", hrKeep },           // bigger than the document: not ours
        { 416, 20, "bytes */2000", hrKeep },
        { 416, 20, "bytes */200", hrKeep },              // "*/20" is not "*/200"
        { 416, 0, "bytes */0", hrKeep },
        { 416, 2000, "", hrKeep },
        { 416, 2000, "bytes */x", hrKeep },
        { 503, 1000, "", hrKeep },
        { 404, 0, "", hrKeep },
        { 304, 1000, "", hrKeep },
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpResumeAction(c.status, c.have, c.range), c.want)
            << c.status << " with " << c.have << " bytes, Content-Range \"" << c.range << "\"";
}
