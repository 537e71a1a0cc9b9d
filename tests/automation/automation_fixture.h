// Shared set-up of the automation tests: COM on the test thread, the test type library, and a
// small family of test objects whose reference counts every test can check.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/automation.h"
#include "test_objects.h"

namespace rh::test {

class AutomationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        types_ = new TestTypes();
        ASSERT_TRUE(types_->ok()) << "automation_test.tlb did not load";
        item_ = new TestItem(*types_);
        other_ = new TestItem(*types_);
        record_ = new TestRecord(*types_);
        plain_ = new PlainUnknown();
    }

    void TearDown() override {
        // The objects may hold each other; let go of that first.
        for (TestItem* item : {item_, other_}) {
            if (item != nullptr) {
                item->Unlink();
            }
        }
        if (record_ != nullptr) {
            record_->Unlink();
        }
        delete plain_;
        delete record_;
        delete other_;
        delete item_;
        delete types_;
        CoUninitialize();
    }

    // Reference counts of all test objects, to compare before and after an operation.
    std::vector<ULONG> Counts() const {
        std::vector<ULONG> counts;
        for (IUnknown* object : Objects()) {
            counts.push_back(RefCount(object));
        }
        return counts;
    }

    std::vector<IUnknown*> Objects() const {
        return {static_cast<ITestItem*>(item_), static_cast<ITestItem*>(other_),
                static_cast<IDispatch*>(record_), static_cast<IUnknown*>(plain_)};
    }

    ComObject Item() const { return ComObject::Share(static_cast<ITestItem*>(item_)); }
    ComObject Other() const { return ComObject::Share(static_cast<ITestItem*>(other_)); }
    ComObject Record() const { return ComObject::Share(static_cast<IDispatch*>(record_)); }
    ComObject Plain() const { return ComObject::Share(plain_); }

    TestTypes* types_ = nullptr;
    TestItem* item_ = nullptr;
    TestItem* other_ = nullptr;
    TestRecord* record_ = nullptr;
    PlainUnknown* plain_ = nullptr;
};

// A text from a UTF-16 string in GBK, the program's code page, to compare with what the layer
// produced.
inline std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int bytes = WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes,
                        nullptr, nullptr);
    return text;
}

inline std::string Str(const Text& text) {
    return std::string(text.data(), text.size());
}

}  // namespace rh::test
