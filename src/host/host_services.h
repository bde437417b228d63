// What an operation is handed: a platform's files and a face's messages.
// One object is both (a program's host is the sum of its platform's file
// layer and its face's messages), so a test can swap in one that records.
#pragma once

#include "host/face_services.h"
#include "host/file_services.h"

namespace zelk {

class HostServices : public virtual FileServices, public virtual FaceServices {};

}  // namespace zelk
