#include "host/face_services.h"

namespace zelk {

void FaceServices::ShowComment(CommentReader& comment) {
    std::string text = comment.Next(kCommentShownBytes);
    if (const std::uint64_t more = comment.Remaining())
        text += "\r\n" + CommentLeftOut(more);
    ShowMessage(text, MessageStyle::Plain);
}

}  // namespace zelk
