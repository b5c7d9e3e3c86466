#include <gtest/gtest.h>

#include "foundation_ext/VDNullDistinct.h"
#include "foundation_ext/VDUppercaseStringFormatter.h"
#include "foundation_ext/VDWeakObjectReference.h"
#include "platform/foundation/URL.h"

namespace {

TEST(SmallClasses, WeakReferenceKeepsItsHashAfterItsObjectIsGone) {
    auto object = std::make_shared<pf::URL>(*pf::URL::URLWithString("file:///a"));
    auto twin = std::make_shared<pf::URL>(*pf::URL::URLWithString("file:///a"));
    VDWeakObjectReference reference(object), same(object), ofTwin(twin);
    const std::size_t hash = reference.hash();
    EXPECT_TRUE(reference.isEqual(same));
    EXPECT_TRUE(reference.isEqual(ofTwin)); // equal objects, not identical ones
    EXPECT_FALSE(reference.isEqual(*object));

    object.reset();
    EXPECT_EQ(reference.weakObject(), nullptr);
    EXPECT_EQ(reference.hash(), hash);
    EXPECT_FALSE(reference.isEqual(same));
    EXPECT_FALSE(reference.isEqual(reference));
    EXPECT_FALSE(ofTwin.isEqual(reference));
}

TEST(SmallClasses, NullMarkersAndUppercaseFormatter) {
    auto a = VDNullDistinct::null(), b = VDNullDistinct::null();
    EXPECT_NE(a, b);
    EXPECT_FALSE(a->isEqual(*b));
    EXPECT_TRUE(VDNullDistinct::isNull(a.get()));
    const pf::URL url = *pf::URL::URLWithString("file:///a");
    EXPECT_FALSE(VDNullDistinct::isNull(&url));

    VDUppercaseStringFormatter formatter;
    std::string error = "old";
    for (const auto& [typed, valid, shown] : std::initializer_list<std::tuple<std::string, bool, std::string>>{
             {"ABC", true, "ABC"}, {"abc", false, "ABC"}, {"stra\xc3\x9f" "e", false, "STRASSE"}, {"", true, ""}}) {
        std::string partial = typed;
        EXPECT_EQ(formatter.isPartialStringValid(&partial, &error), valid) << typed;
        EXPECT_EQ(partial, shown);
        EXPECT_EQ(error, "");
    }
    pf::Value value;
    EXPECT_TRUE(formatter.getObjectValue(&value, "x", &error));
    EXPECT_EQ(value, pf::Value("x"));
}

} // namespace
