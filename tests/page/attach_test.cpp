// Lifetime of the page object and attaching to a browser's document: real windows, the real
// registered message, LresultFromObject/ObjectFromLresult and the stand-in's document objects.
#include <gtest/gtest.h>

#include <objbase.h>

#include <functional>

#include "page/page_automation.h"
#include "runtime/automation.h"
#include "standin/dom_objects.h"
#include "tests/page/page_test_support.h"
#include "runtime/window_handle.h"

namespace {

using pagetest::HeldDocument;
using pagetest::ReferenceCounts;
using pagetest::WindowTree;
using rh::PageAutomation;
using standin::Document;

// Runs `body` on a thread of its own, on which nothing has initialised COM yet.
void OnFreshThread(const std::function<void()>& body) {
    struct Call {
        static DWORD WINAPI Run(void* parameter) {
            (*static_cast<const std::function<void()>*>(parameter))();
            return 0;
        }
    };
    HANDLE thread =
        CreateThread(nullptr, 0, &Call::Run, const_cast<std::function<void()>*>(&body), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Whether COM is initialised on the calling thread (in any apartment). Leaves it as it was.
bool ComIsInitialised() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    // S_FALSE: already initialised in this mode; RPC_E_CHANGED_MODE: in the other one.
    return hr == S_FALSE || hr == RPC_E_CHANGED_MODE;
}

// A COM object that notes, when its last reference goes, whether COM was still up.
class ReleaseProbe : public IUnknown {
  public:
    explicit ReleaseProbe(bool* comUpAtRelease) : comUpAtRelease_(comUpAtRelease) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            *comUpAtRelease_ = ComIsInitialised();
            delete this;
        }
        return left;
    }

  private:
    virtual ~ReleaseProbe() = default;
    ULONG references_ = 1;
    bool* comUpAtRelease_;
};

std::shared_ptr<Document> PageAt(const wchar_t* url) {
    auto document = Document::Create(url);
    document->Body()->AppendElement(L"a", {{L"href", L"v.mp4"}})->AppendText(L"v.mp4");
    return document;
}

// ---------------------------------------------------------------------------------------------
// Creation, copy and destruction

TEST(PageLifetime, CreationAndDestructionBalanceComOnTheirThread) {
    OnFreshThread([] {
        ASSERT_FALSE(ComIsInitialised());
        {
            PageAutomation page;
            EXPECT_TRUE(ComIsInitialised());
            EXPECT_TRUE(rh::IsEmptyObject(page.document));
            EXPECT_EQ(page.windowHandle, nullptr);
        }
        EXPECT_FALSE(ComIsInitialised());
    });
}

TEST(PageLifetime, EachCopyKeepsComUpUntilItGoes) {
    OnFreshThread([] {
        auto first = std::make_unique<PageAutomation>();
        auto second = std::make_unique<PageAutomation>(*first);
        first.reset();
        EXPECT_TRUE(ComIsInitialised());
        second.reset();
        EXPECT_FALSE(ComIsInitialised());
    });
}

TEST(PageLifetime, TheDocumentIsReleasedWhileComIsStillUp) {
    OnFreshThread([] {
        bool comUpAtRelease = false;
        {
            PageAutomation page;
            page.document = rh::ComObject::Adopt(new ReleaseProbe(&comUpAtRelease));
        }
        EXPECT_TRUE(comUpAtRelease);
        EXPECT_FALSE(ComIsInitialised());
    });
}

TEST(PageLifetime, OnAThreadOfTheOtherApartmentKindComIsLeftToItsOwner) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        { PageAutomation page; }
        // Still initialised by this thread's own start: a second start only counts up.
        const HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(again, S_FALSE);
        if (SUCCEEDED(again)) {
            CoUninitialize();
        }
        CoUninitialize();
    });
}

TEST(PageLifetime, CopyHoldsASecondReferenceToTheSameDocument) {
    auto document = PageAt(L"http://one.test/");
    PageAutomation page;
    WindowTree tree;
    HWND documentWindow = tree.AddDocumentWindow(tree.Root(), document);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));
    const ReferenceCounts attached = ReferenceCounts::Now();
    {
        PageAutomation copy(page);
        EXPECT_EQ(rh::WindowHandleValue(copy.windowHandle), rh::WindowHandleValue(tree.Root()));
        EXPECT_EQ(copy.document.Get(), page.document.Get());
        EXPECT_EQ(ReferenceCounts::Now().references, attached.references + 1);
        EXPECT_EQ(copy.CountLinks(), 1);

        PageAutomation assigned;
        assigned = copy;
        EXPECT_EQ(assigned.document.Get(), page.document.Get());
        EXPECT_EQ(rh::WindowHandleValue(assigned.windowHandle), rh::WindowHandleValue(tree.Root()));
    }
    EXPECT_EQ(ReferenceCounts::Now(), attached);
    EXPECT_EQ(tree.StateOf(documentWindow).requests, 1);
}

// ---------------------------------------------------------------------------------------------
// Attaching

class Attach : public testing::Test {
  protected:
    void SetUp() override { before_ = ReferenceCounts::Now(); }
    // Once the page object has let go, the model is back where it started.
    void TearDown() override {
        page_.reset();
        EXPECT_EQ(ReferenceCounts::Now(), before_);
    }

    std::unique_ptr<PageAutomation> page_ = std::make_unique<PageAutomation>();
    PageAutomation& page = *page_;
    WindowTree tree;
    ReferenceCounts before_;
};

TEST_F(Attach, FindsTheDocumentWindowSeveralLevelsDown) {
    auto document = PageAt(L"http://deep.test/");
    HWND inner = tree.AddBox(tree.AddBox(tree.AddBox(tree.Root())));
    HWND documentWindow = tree.AddDocumentWindow(inner, document);

    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(documentWindow));
    EXPECT_TRUE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(rh::WindowHandleValue(page.windowHandle), rh::WindowHandleValue(tree.Root()));
    EXPECT_EQ(HeldDocument(page), document);
    EXPECT_EQ(rh::ReadTextProperty(page.document, "URL"), "http://deep.test/");
    EXPECT_EQ(page.CountLinks(), 1);
}

TEST_F(Attach, GivenTheDocumentWindowItselfItAsksThatWindow) {
    // A document window inside the given one would be taken if the walk ran.
    auto outer = PageAt(L"http://outer.test/");
    auto inner = PageAt(L"http://inner.test/");
    HWND outerWindow = tree.AddDocumentWindow(tree.Root(), outer);
    HWND innerWindow = tree.AddDocumentWindow(outerWindow, inner);

    EXPECT_TRUE(page.AttachToBrowser(outerWindow));
    EXPECT_EQ(HeldDocument(page), outer);
    EXPECT_EQ(tree.StateOf(innerWindow).requests, 0);
    // The walk itself never tests the window it starts from, and tests a window before the
    // windows inside it.
    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(outerWindow)),
              rh::WindowHandleValue(innerWindow));
    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(outerWindow));
}

TEST_F(Attach, TheEarlierSiblingsSubtreeWinsOverANearerMatch) {
    auto deepDocument = PageAt(L"http://deep.test/");
    auto nearDocument = PageAt(L"http://near.test/");
    HWND first = tree.AddBox(tree.Root());
    HWND deepWindow = tree.AddDocumentWindow(tree.AddBox(first), deepDocument);
    HWND nearWindow = tree.AddDocumentWindow(tree.Root(), nearDocument);
    // Put the box first in the z-order, which is the order siblings are enumerated in.
    SetWindowPos(first, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(FindWindowExA(tree.Root(), nullptr, nullptr, nullptr), first);

    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(deepWindow));
    EXPECT_TRUE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(HeldDocument(page), deepDocument);
    EXPECT_EQ(tree.StateOf(nearWindow).requests, 0);

    // With the order turned round, the nearer window comes first.
    SetWindowPos(nearWindow, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(nearWindow));
}

TEST_F(Attach, AClassNameThatDiffersOnlyInLetterCaseIsNoDocumentWindow) {
    auto lookalike = PageAt(L"http://lookalike.test/");
    HWND lookalikeWindow =
        tree.AddDocumentWindow(tree.Root(), lookalike, pagetest::kOtherCaseDocumentClass);
    ASSERT_NE(lookalikeWindow, nullptr);
    char className[64] = {};
    GetClassNameA(lookalikeWindow, className, sizeof className);
    ASSERT_STREQ(className, pagetest::kOtherCaseDocumentClass);

    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(nullptr));
    EXPECT_FALSE(page.AttachToBrowser(tree.Root()));
    EXPECT_FALSE(page.AttachToBrowser(lookalikeWindow));
    EXPECT_TRUE(rh::IsEmptyObject(page.document));
    EXPECT_EQ(tree.StateOf(lookalikeWindow).requests, 0);

    // A real one after it is found.
    auto real = PageAt(L"http://real.test/");
    HWND realWindow = tree.AddDocumentWindow(tree.Root(), real);
    SetWindowPos(realWindow, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_TRUE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(HeldDocument(page), real);
}

TEST_F(Attach, BeforeTheDocumentWindowExistsAndAfterItHasAppeared) {
    HWND browser = tree.AddBox(tree.Root());
    HWND view = tree.AddBox(browser);

    EXPECT_FALSE(page.AttachToBrowser(browser));
    EXPECT_EQ(rh::WindowHandleValue(page.windowHandle), rh::WindowHandleValue(browser));
    EXPECT_TRUE(rh::IsEmptyObject(page.document));

    auto loaded = PageAt(L"http://loaded.test/");
    tree.AddDocumentWindow(view, loaded);
    EXPECT_TRUE(page.AttachToBrowser(browser));
    EXPECT_EQ(HeldDocument(page), loaded);
}

TEST_F(Attach, AfterANavigationTheNewDocumentIsHeldAndTheOldOneReleased) {
    auto first = PageAt(L"http://first.test/");
    HWND documentWindow = tree.AddDocumentWindow(tree.AddBox(tree.Root()), first);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));
    ASSERT_NE(first->automationObject, nullptr);

    auto second = PageAt(L"http://second.test/");
    second->Body()->AppendElement(L"a", {{L"href", L"w.flv"}})->AppendText(L"w.flv");
    tree.StateOf(documentWindow).document = second;
    EXPECT_TRUE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(HeldDocument(page), second);
    EXPECT_EQ(page.CountLinks(), 2);
    // Nobody holds the first page's document object any more.
    EXPECT_EQ(first->automationObject, nullptr);
}

TEST_F(Attach, AHandleThatIsNoWindowChangesNothing) {
    auto document = PageAt(L"http://kept.test/");
    tree.AddDocumentWindow(tree.Root(), document);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));

    EXPECT_FALSE(page.AttachToBrowser(nullptr));
    HWND gone = tree.AddBox(tree.Root());
    DestroyWindow(gone);
    EXPECT_FALSE(page.AttachToBrowser(gone));
    EXPECT_FALSE(page.AttachToBrowser(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7FFF1234))));

    EXPECT_EQ(rh::WindowHandleValue(page.windowHandle), rh::WindowHandleValue(tree.Root()));
    EXPECT_EQ(HeldDocument(page), document);
}

TEST_F(Attach, NoDocumentWindowKeepsTheEarlierDocument) {
    auto document = PageAt(L"http://kept.test/");
    tree.AddDocumentWindow(tree.Root(), document);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));

    HWND emptyBrowser = tree.AddBox(tree.AddBox(tree.Root()));
    EXPECT_FALSE(page.GetDocumentFromWindow(emptyBrowser));
    // Attach looks at what is held, not at whether this request succeeded.
    EXPECT_TRUE(page.AttachToBrowser(emptyBrowser));
    EXPECT_EQ(rh::WindowHandleValue(page.windowHandle), rh::WindowHandleValue(emptyBrowser));
    EXPECT_EQ(HeldDocument(page), document);
}

TEST_F(Attach, AWindowThatHandsOverNoDocumentLeavesNoneHeld) {
    auto document = PageAt(L"http://before.test/");
    HWND documentWindow = tree.AddDocumentWindow(tree.Root(), document);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));

    tree.StateOf(documentWindow).document = nullptr;  // answers 0
    EXPECT_FALSE(page.GetDocumentFromWindow(tree.Root()));
    EXPECT_TRUE(rh::IsEmptyObject(page.document));
    EXPECT_FALSE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(tree.StateOf(documentWindow).requests, 3);
    // With no document, the operations find nothing.
    EXPECT_EQ(page.CountLinks(), 0);
    EXPECT_TRUE(page.GetLinkInnerText("1").empty());
    EXPECT_FALSE(page.ClickElement("1"));
}

TEST_F(Attach, ANullParentHasNoDocumentWindow) {
    // Not the desktop's windows: a null handle has no children.
    auto document = PageAt(L"http://top.test/");
    HWND topLevel = CreateWindowExA(0, pagetest::kDocumentWindowClass, "", WS_POPUP, 0, 0, 10, 10,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(topLevel, nullptr);
    pagetest::DocumentWindowState state{document};
    SetWindowLongPtrA(topLevel, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(nullptr)),
              rh::WindowHandleValue(nullptr));
    EXPECT_FALSE(page.GetDocumentFromWindow(nullptr));
    EXPECT_EQ(state.requests, 0);
    DestroyWindow(topLevel);
}

// ---------------------------------------------------------------------------------------------
// The walk

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
        ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(Attach, WaitingEventsRunBetweenSiblings) {
    WNDCLASSA counting{};
    counting.lpfnWndProc = CountingProc;
    counting.hInstance = GetModuleHandleA(nullptr);
    counting.lpszClassName = "ReelhawkTestCounting";
    RegisterClassA(&counting);
    int handled = 0;
    HWND listener = CreateWindowExA(0, "ReelhawkTestCounting", "", WS_CHILD, 0, 0, 1, 1,
                                    tree.Root(), nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(listener, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&handled));
    tree.AddBox(tree.Root());

    PostMessageA(listener, WM_APP, 0, 0);
    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(nullptr));
    EXPECT_EQ(handled, 1);
    MSG left;
    EXPECT_FALSE(PeekMessageA(&left, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
    DestroyWindow(listener);
}

TEST_F(Attach, TheWalkGoesOnPastAHandleWithItsHighBitSet) {
    // Window handles carry a generation count in their upper 16 bits that grows each time a slot
    // of the handle table is used again: creating and destroying a window until its handle, read
    // as a 32-bit integer, is negative gives a real window with such a handle.
    HWND highBit = nullptr;
    for (int attempt = 0; attempt < 200000 && highBit == nullptr; ++attempt) {
        HWND window = tree.AddBox(tree.Root());
        if (window == nullptr) {
            break;
        }
        if (static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)) < 0) {
            highBit = window;
        } else {
            DestroyWindow(window);
        }
    }
    if (highBit == nullptr) {
        GTEST_SKIP() << "no window handle with its high bit set could be made here";
    }
    auto document = PageAt(L"http://after.test/");
    HWND documentWindow = tree.AddDocumentWindow(tree.Root(), document);
    SetWindowPos(highBit, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(FindWindowExA(tree.Root(), nullptr, nullptr, nullptr), highBit);
    ASSERT_TRUE(IsWindow(highBit));

    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(tree.Root())),
              rh::WindowHandleValue(documentWindow));
    EXPECT_TRUE(page.AttachToBrowser(tree.Root()));
    EXPECT_EQ(HeldDocument(page), document);

    // Such a handle is also accepted as the browser window itself.
    auto insideDocument = PageAt(L"http://inside.test/");
    HWND inside = tree.AddDocumentWindow(highBit, insideDocument);
    EXPECT_EQ(rh::WindowHandleValue(page.FindDocumentWindow(highBit)),
              rh::WindowHandleValue(inside));
    EXPECT_TRUE(page.AttachToBrowser(highBit));
    EXPECT_EQ(rh::WindowHandleValue(page.windowHandle), rh::WindowHandleValue(highBit));
    EXPECT_EQ(HeldDocument(page), insideDocument);
}

// Waits for `handle` while taking this thread's messages: windows of two threads in one tree may
// send each other messages.
void PumpUntil(HANDLE handle) {
    while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
    }
}

// A document window on another thread that does not take its messages: the request gives up
// after its time-out and nothing is held.
TEST_F(Attach, ADocumentWindowThatDoesNotAnswerInTimeLeavesNoneHeld) {
    struct Blocked {
        HWND parent;
        HWND window = nullptr;
        HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        static DWORD WINAPI Run(void* parameter) {
            auto* self = static_cast<Blocked*>(parameter);
            // No state: if it ever gets to the request it answers 0.
            self->window = CreateWindowExA(WS_EX_NOPARENTNOTIFY, pagetest::kDocumentWindowClass, "",
                                           WS_CHILD, 0, 0, 1, 1, self->parent, nullptr,
                                           GetModuleHandleA(nullptr), nullptr);
            SetEvent(self->created);
            WaitForSingleObject(self->release, INFINITE);  // takes no messages meanwhile
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&message);
            }
            DestroyWindow(self->window);
            return 0;
        }
    } blocked{tree.AddBox(tree.Root())};
    auto document = PageAt(L"http://before.test/");
    tree.AddDocumentWindow(tree.Root(), document);
    ASSERT_TRUE(page.AttachToBrowser(tree.Root()));

    HANDLE thread = CreateThread(nullptr, 0, &Blocked::Run, &blocked, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    PumpUntil(blocked.created);
    ASSERT_NE(blocked.window, nullptr);

    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(page.GetDocumentFromWindow(blocked.window));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_TRUE(rh::IsEmptyObject(page.document));
    std::printf("gave up on the silent document window after %llu ms\n", waited);

    SetEvent(blocked.release);
    PumpUntil(thread);
    CloseHandle(thread);
    CloseHandle(blocked.created);
    CloseHandle(blocked.release);
}

}  // namespace
