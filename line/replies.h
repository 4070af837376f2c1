// What this area registers with the reply dispatch.
#ifndef TAVRO_LINE_REPLIES_H
#define TAVRO_LINE_REPLIES_H

namespace tavro {

void addLineReplyHandlers();

}  // namespace tavro

#endif  // TAVRO_LINE_REPLIES_H
