#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/URL.h"

namespace {

using pf::Dictionary;
using pf::Error;

const std::string kCouldNot = "The operation couldn\u2019t be completed. ";

TEST(Error, DescriptionsAndLocalizedTexts) {
    const auto generic = [](const std::string& domain, int code) {
        return kCouldNot + "(" + domain + " error " + std::to_string(code) + ".)";
    };
    struct Case {
        Error error;
        std::string localized, userInfo;
    };
    const Case cases[] = {
        {Error("MyDomain", 7), generic("MyDomain", 7), ""},
        {Error(pf::NSURLErrorDomain, -1015, Dictionary{{pf::NSLocalizedFailureReasonErrorKey, "bad request"}}),
         generic("NSURLErrorDomain", -1015), " UserInfo={NSLocalizedFailureReason=bad request}"},
        {Error(pf::NSPOSIXErrorDomain, 22, Dictionary{{pf::NSLocalizedDescriptionKey, "The message data was invalid."}}),
         "The message data was invalid.", " UserInfo={NSLocalizedDescription=The message data was invalid.}"},
        {Error(pf::NSPOSIXErrorDomain, ENOENT), kCouldNot + std::strerror(ENOENT), ""},
        {Error(pf::NSPOSIXErrorDomain, 0), generic("NSPOSIXErrorDomain", 0), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.localizedDescription(), c.localized) << c.error.domain();
        const std::string head = "Error Domain=" + c.error.domain() + " Code=" + std::to_string(c.error.code());
        EXPECT_EQ(c.error.description(), head + " \"" + c.localized + "\"" + c.userInfo);
    }
    EXPECT_EQ(cases[1].error.localizedFailureReason(), "bad request");
    EXPECT_EQ(cases[0].error.localizedFailureReason(), "");

    const auto url = *pf::URL::fileURLWithPath("/x/Foo.bundle", true);
    const Error posix = Error::posix(88, &url);
    EXPECT_EQ(posix, Error("NSPOSIXErrorDomain", 88, {{"NSErrorFailingURLStringKey", "file:///x/Foo.bundle/"}}));
    EXPECT_TRUE(Error::posix(1).userInfo().empty());
}

TEST(Error, FileErrorsMapSystemErrorsToFileCodes) {
    struct Case {
        int errnoCode;
        bool writing;
        std::int64_t code;
    };
    const Case cases[] = {{ENOENT, false, 4}, {EACCES, false, 257}, {EPERM, true, 513}, {EEXIST, true, 516},
                          {EROFS, true, 642}, {ENOSPC, true, 640},  {EIO, false, 256},  {EIO, true, 512}};
    for (const auto& c : cases) {
        const pf::ObjectPtr underlying = std::make_shared<Error>(pf::NSPOSIXErrorDomain, c.errnoCode);
        EXPECT_EQ(Error::fileError(c.errnoCode, "/some/path", c.writing),
                  Error(pf::NSCocoaErrorDomain, c.code,
                        Dictionary{{pf::NSFilePathErrorKey, "/some/path"}, {pf::NSUnderlyingErrorKey, underlying}}))
            << c.errnoCode << " writing=" << c.writing;
    }
    // Errors are values: equal only when domain, code and user info are.
    EXPECT_NE(Error::fileError(EIO, "/p", true), Error::fileError(EIO, "/q", true));
    EXPECT_TRUE(Error("D", 1).isEqual(Error("D", 1)));
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
        EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
        EXPECT_EQ(std::vector<std::string>({e.reason(), e.what(), e.description()}),
                  std::vector<std::string>(3, "broken"));
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

TEST(Date, ReferenceDateAndOrdering) {
    const pf::Date reference = pf::Date::fromReferenceDate(0);
    EXPECT_EQ(reference.description(), "2001-01-01 00:00:00 +0000");
    EXPECT_DOUBLE_EQ(pf::Date{1000.0}.timeIntervalSinceReferenceDate(), 1000.0 - 978307200.0);
    EXPECT_LT(reference, reference.addingSeconds(0.001));
    EXPECT_LT(std::abs(pf::Date::now().timeIntervalSinceNow()), 60.0);
    // Dates no calendar can print are clamped rather than handed to the C library undefined.
    for (double s : {1e300, -1e300, std::nan(""), HUGE_VAL}) EXPECT_FALSE(pf::Date{s}.description().empty()) << s;
}

} // namespace
