// The shared status record: both lines replaced together, also from the record's own strings.
#include <windows.h>

#include <gtest/gtest.h>

#include "update/status.h"

TEST(UpdateStatus, SetStatusTextWithItsOwnStringsKeepsThem) {
    ResetUpdateStatus();
    SetStatusText(L"Pr\u00fcfe Dateien ...", L"data/a.pak");
    SetStatusText(updateStatus.statusText, updateStatus.detailText);
    EXPECT_EQ(updateStatus.statusText, L"Pr\u00fcfe Dateien ...");
    EXPECT_EQ(updateStatus.detailText, L"data/a.pak");
    SetStatusText(updateStatus.detailText, updateStatus.statusText);
    EXPECT_EQ(updateStatus.statusText, L"data/a.pak");
    ResetUpdateStatus();
}

static volatile LONG stopWriter = 0;

static DWORD WINAPI AlternatingWriter(void*) {
    for (uint64_t i = 0; !stopWriter; ++i) {
        if (i & 1) {
            SetStatusText(L"odd", L"ODD");
            updateStatus.manifestSerial = 0xFFFFFFFFFFFFFFFFull;
        } else {
            SetStatusText(L"even", L"EVEN");
            updateStatus.manifestSerial = 0;
        }
    }
    return 0;
}

// A reader copying under the lock never sees one line of one pair with the other of another.
TEST(UpdateStatus, ReadersNeverSeeHalfAPairOrHalfASerial) {
    ResetUpdateStatus();
    stopWriter = 0;
    HANDLE writer = CreateThread(nullptr, 0, AlternatingWriter, nullptr, 0, nullptr);
    ASSERT_NE(writer, nullptr);
    DWORD start = GetTickCount();
    int mixed = 0;
    while (GetTickCount() - start < 300) {
        std::wstring a, b;
        {
            StatusLockHold hold;
            a = updateStatus.statusText;
            b = updateStatus.detailText;
        }
        if (!a.empty() && !((a == L"odd" && b == L"ODD") || (a == L"even" && b == L"EVEN"))) ++mixed;
        uint64_t serial = updateStatus.manifestSerial;
        if (serial != 0 && serial != 0xFFFFFFFFFFFFFFFFull) ++mixed;
    }
    stopWriter = 1;
    WaitForSingleObject(writer, 5000);
    CloseHandle(writer);
    EXPECT_EQ(mixed, 0);
    ResetUpdateStatus();
}
