#pragma once

#include <QString>

namespace foldersync {

// A file made, renamed or removed is on the disk only once its folder is:
// syncs the folder that holds `file`.
void syncFolderOf(const QString& file);

} // namespace foldersync
