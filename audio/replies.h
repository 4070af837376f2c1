// What this area registers with the reply dispatch.
#ifndef TAVRO_AUDIO_REPLIES_H
#define TAVRO_AUDIO_REPLIES_H

namespace tavro {

void addAudioReplyHandlers();

}  // namespace tavro

#endif  // TAVRO_AUDIO_REPLIES_H
