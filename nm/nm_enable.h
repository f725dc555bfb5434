#pragma once
// Enable and disable (id 8) and reset to defaults (id 14), declared in nm/nm.h, and the
// directory clean-up the reset uses.

// Unlinks the regular files and symbolic links directly in directory, except the names in
// the null-terminated list spare (may be null); subdirectories stay. 0, or -1 when the
// directory cannot be opened.
int remove_files_and_symlinks_in_directory(const char* directory, const char* const* spare);
