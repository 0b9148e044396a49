#pragma once

#include <filesystem>

class QObject;

namespace quellmark {

/// Asks the desktop's file manager to show `file` selected in its folder
/// (D-Bus org.freedesktop.FileManager1.ShowItems); when none answers, opens
/// the containing folder. Returns at once; the answer is awaited on the event
/// loop of `owner`'s thread. Reports nothing.
void revealInFileManager(const std::filesystem::path& file, QObject* owner);

}  // namespace quellmark
