// What this area registers with the reply dispatch.
#ifndef TAVRO_INCOMING_REPLIES_H
#define TAVRO_INCOMING_REPLIES_H

namespace tavro {

void addIncomingReplyHandlers();

}  // namespace tavro

#endif  // TAVRO_INCOMING_REPLIES_H
