#pragma once

#include <cstddef>
#include <string>

namespace vantrel::bridge {

// What reading one of the host app's files came to.
struct FileRead {
  enum class Status {
    ok,          // `bytes` holds the whole file
    missing,     // nothing at the path
    notRegular,  // a directory, a FIFO, a device
    unreadable,  // access denied or an I/O error; `error` says which
    tooLarge,    // longer than the limit the caller gave
    noResources, // no descriptor or memory left to read it (EMFILE, ENFILE, ENOMEM); `error`
  };
  Status status = Status::missing;
  std::string bytes;
  int error = 0; // the errno behind unreadable and noResources
};

// Reads the regular file at `path` whole, refusing it as tooLarge once it passes `maxBytes`.
// Reads in chunks and never reserves from the size the file system reports, so a sparse or
// growing file costs at most `maxBytes`. Never throws; any thread.
FileRead readFileBytes(const std::string& path, std::size_t maxBytes);

// True for the errno values that mean this process ran out of descriptors or memory, not that
// the thing it tried to open is absent or refused.
bool isResourceShortage(int error);

} // namespace vantrel::bridge
