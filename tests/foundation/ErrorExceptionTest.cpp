#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <tuple>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/URL.h"

namespace {

using pf::Dictionary;
using pf::Error;

const std::string kCouldNot = "The operation couldn\u2019t be completed. ";

TEST(Error, DescriptionsAndLocalizedTexts) {
    const std::tuple<Error, std::string, std::string> cases[] = { // error, localized text, user info
        {Error("MyDomain", 7), kCouldNot + "(MyDomain error 7.)", ""},
        {Error(pf::NSURLErrorDomain, -1015, Dictionary{{pf::NSLocalizedFailureReasonErrorKey, "bad request"}}),
         kCouldNot + "(NSURLErrorDomain error -1015.)", " UserInfo={NSLocalizedFailureReason=bad request}"},
        {Error(pf::NSPOSIXErrorDomain, 22, Dictionary{{pf::NSLocalizedDescriptionKey, "The message data was invalid."}}),
         "The message data was invalid.", " UserInfo={NSLocalizedDescription=The message data was invalid.}"},
        {Error(pf::NSPOSIXErrorDomain, ENOENT), kCouldNot + std::strerror(ENOENT), ""},
        {Error(pf::NSPOSIXErrorDomain, 0), kCouldNot + "(NSPOSIXErrorDomain error 0.)", ""},
    };
    for (const auto& [error, localized, userInfo] : cases) {
        EXPECT_EQ(error.localizedDescription(), localized) << error.domain();
        const std::string head = "Error Domain=" + error.domain() + " Code=" + std::to_string(error.code());
        EXPECT_EQ(error.description(), head + " \"" + localized + "\"" + userInfo);
    }

    const auto url = *pf::URL::fileURLWithPath("/x/Foo.bundle", true);
    EXPECT_EQ(Error::posix(88, &url),
              Error("NSPOSIXErrorDomain", 88, {{"NSErrorFailingURLStringKey", "file:///x/Foo.bundle/"}}));
}

TEST(Error, FileErrorsMapSystemErrorsToFileCodes) {
    const std::tuple<int, bool, std::int64_t> cases[] = {
        {ENOENT, false, 4}, {EACCES, false, 257}, {EPERM, true, 513}, {EEXIST, true, 516},
        {EROFS, true, 642}, {ENOSPC, true, 640},  {EIO, false, 256},  {EIO, true, 512}};
    for (const auto& [errnoCode, writing, code] : cases) {
        const pf::ObjectPtr underlying = std::make_shared<Error>(pf::NSPOSIXErrorDomain, errnoCode);
        EXPECT_EQ(Error::fileError(errnoCode, "/some/path", writing),
                  Error(pf::NSCocoaErrorDomain, code,
                        Dictionary{{pf::NSFilePathErrorKey, "/some/path"}, {pf::NSUnderlyingErrorKey, underlying}}))
            << errnoCode << " writing=" << writing;
    }
    // Errors are values: equal only when domain, code and user info are.
    EXPECT_NE(Error::fileError(EIO, "/p", true), Error::fileError(EIO, "/q", true));
    EXPECT_FALSE(Error("D", 1).isEqual(*pf::URL::fileURLWithPath("/", true)));
}

__attribute__((noinline)) void raiseException() {
    pf::raise(pf::Exception(pf::NSInternalInconsistencyException, "broken", Dictionary{{"k", 1}}));
}

TEST(Exception, CarriesNameReasonUserInfoAndTheStackWhereItWasRaised) {
    try {
        raiseException();
        FAIL() << "not raised";
    } catch (const pf::Exception& e) {
        EXPECT_EQ(e.name() + "|" + e.reason() + "|" + e.what() + "|" + e.description(),
                  "NSInternalInconsistencyException|broken|broken|broken");
        EXPECT_EQ(pf::Value(e.userInfo()), pf::Value(Dictionary{{"k", 1}}));
        // Innermost first, and raise itself is not among them: the first
        // return address lies inside the function that raised.
        const auto& stack = e.callStackReturnAddresses();
        ASSERT_GE(stack.size(), 2u);
        const auto raiser = reinterpret_cast<std::uintptr_t>(&raiseException);
        EXPECT_GT(stack[0], raiser);
        EXPECT_LT(stack[0], raiser + 4096);
    }
}

} // namespace
