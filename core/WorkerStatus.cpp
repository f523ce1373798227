#include "WorkerStatus.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <cstddef>

namespace {

constexpr std::size_t StatusCount = 5;

// In the order of TWorkerStatus.
const char* const Sources[StatusCount] = {
    QT_TRANSLATE_NOOP("TWorkerStatus", "正在初始化,请稍侯..."), QT_TRANSLATE_NOOP("TWorkerStatus", "正在搜索文件..."),
    QT_TRANSLATE_NOOP("TWorkerStatus", "搜索文件已完成!"),      QT_TRANSLATE_NOOP("TWorkerStatus", "正在索引歌曲..."),
    QT_TRANSLATE_NOOP("TWorkerStatus", "索引歌曲已完成!"),
};

// Made once, never changed: their UTF-16 stays where it is.
const std::array<QString, StatusCount>& Texts() {
    static const std::array<QString, StatusCount> Made = [] {
        std::array<QString, StatusCount> Result;
        for (std::size_t I = 0; I < StatusCount; ++I)
            Result[I] = QString::fromUtf8(Sources[I]);
        return Result;
    }();
    return Made;
}

} // namespace

const char16_t* WorkerStatusText(TWorkerStatus AStatus) {
    return reinterpret_cast<const char16_t*>(Texts()[static_cast<std::size_t>(AStatus)].utf16());
}

const char* WorkerStatusSource(TWorkerStatus AStatus) { return Sources[static_cast<std::size_t>(AStatus)]; }

std::optional<TWorkerStatus> WorkerStatusOf(TLParam AText) {
    for (std::size_t I = 0; I < StatusCount; ++I)
        if (reinterpret_cast<TLParam>(WorkerStatusText(static_cast<TWorkerStatus>(I))) == AText)
            return static_cast<TWorkerStatus>(I);
    return std::nullopt;
}

void SendWorkerStatus(TWindowHandle AHandle, TWParam AWorker, TWorkerStatus AStatus) {
    SendMessageW(AHandle, WM_WIZ_STATUS, AWorker, reinterpret_cast<TLParam>(WorkerStatusText(AStatus)));
}
