// The I/O actions of url! and file!: what reading, writing, deleting,
// querying and renaming one means is the file and network services' to
// say, so they fill those slots of the types datatypes/file-url registers.
#pragma once

namespace vum::file_url_actions {

// Start-up, once url! and file! are registered: url!'s read and write
// (HTTP and HTTPS here, any other scheme through a port), and file!'s
// delete, query, read, rename and write.
void init();

}  // namespace vum::file_url_actions
