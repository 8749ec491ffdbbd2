// The element handle registry, with elements of the simulated desktop.
#include <limits>

#include "elements/handle_registry.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

class HandleRegistryTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                   automation.putVoid()),
                  S_OK);
        simdesk::WindowDesc desc;
        desc.className = u"Button";
        window = simdesk::createWindow(desc);
    }
    void TearDown() override {
        automation.reset();
        CoUninitialize();
        CoreTest::TearDown();
    }

    ComPtr<IUIAutomationElement> newElement() {
        ComPtr<IUIAutomationElement> e;
        EXPECT_EQ(automation->ElementFromHandle(window, e.put()), S_OK);
        return e;
    }

    // The element's reference count, read without changing it.
    static ULONG refs(IUnknown* p) {
        p->AddRef();
        return p->Release();
    }

    ComPtr<IUIAutomation> automation;
    HWND window = nullptr;
};

TEST_F(HandleRegistryTest, IssuesIncreasingIdsAndNeverReusesOne) {
    HandleRegistry registry;
    auto a = newElement(), b = newElement();
    EXPECT_EQ(registry.registerElement(a.get()), 1);
    EXPECT_EQ(registry.registerElement(b.get()), 2);
    registry.releaseElement(1);
    EXPECT_EQ(registry.registerElement(a.get()), 3);
    registry.releaseElement(3);  // the newest, released at once, is not handed out again either
    EXPECT_EQ(registry.registerElement(a.get()), 4);
    EXPECT_EQ(registry.lookupElement(1).get(), nullptr);
    EXPECT_EQ(registry.lookupElement(2).get(), b.get());
    EXPECT_EQ(registry.lookupElement(3).get(), nullptr);
    EXPECT_EQ(registry.lookupElement(4).get(), a.get());
    EXPECT_EQ(registry.lookupElement(0).get(), nullptr);
    EXPECT_EQ(registry.lookupElement(-1).get(), nullptr);
    EXPECT_EQ(registry.registerElement(nullptr), 0);  // nothing registered
    EXPECT_EQ(registry.size(), 2u);
}

TEST_F(HandleRegistryTest, EachEntryHoldsItsOwnReference) {
    HandleRegistry registry;
    auto e = newElement();
    ULONG base = refs(e.get());
    int first = registry.registerElement(e.get());
    int second = registry.registerElement(e.get());
    EXPECT_NE(first, second);
    EXPECT_EQ(refs(e.get()), base + 2);
    registry.releaseElement(first);
    EXPECT_EQ(refs(e.get()), base + 1);
    registry.releaseElement(first);  // twice: nothing more happens
    registry.releaseElement(999);    // never issued: ignored
    EXPECT_EQ(refs(e.get()), base + 1);
    e.reset();
    EXPECT_EQ(simdesk::liveCounts().com, 2);  // the automation object and the held element
    registry.releaseElement(second);
    EXPECT_EQ(simdesk::liveCounts().com, 1);
}

TEST_F(HandleRegistryTest, ClearReleasesEverythingAndTheNumberingCarriesOn) {
    HandleRegistry registry;
    for (int i = 0; i < 5; ++i) registry.registerElement(newElement().get());
    EXPECT_EQ(simdesk::liveCounts().com, 6);
    registry.clearElements();
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(simdesk::liveCounts().com, 1);
    EXPECT_EQ(registry.registerElement(newElement().get()), 6);  // a handle kept from before names nothing
}

TEST_F(HandleRegistryTest, IdsWrapToOneInsteadOfGoingNegativeAndSkipTheOnesHeld) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    HandleRegistry registry(kMax - 1);
    auto e = newElement();
    EXPECT_EQ(registry.registerElement(e.get()), kMax - 1);
    EXPECT_EQ(registry.registerElement(e.get()), kMax);
    EXPECT_EQ(registry.registerElement(e.get()), 1);
    EXPECT_EQ(registry.registerElement(e.get()), 2);
    EXPECT_EQ(registry.lookupElement(kMax).get(), e.get());
    registry.clearElements();

    // Past the wrap, an id still held is skipped and keeps naming its element.
    HandleRegistry held;
    auto one = newElement(), other = newElement();
    EXPECT_EQ(held.registerElement(one.get()), 1);
    held.setNextId(kMax);
    EXPECT_EQ(held.registerElement(other.get()), kMax);
    EXPECT_EQ(held.registerElement(other.get()), 2);
    EXPECT_EQ(held.lookupElement(1).get(), one.get());
    held.clearElements();
}

}  // namespace
