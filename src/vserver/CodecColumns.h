// The thirteen codec permits of a virtual server as its record stores them: the column of
// the server row and the parameter of the edit script, in codec order. Constant; any thread.
#pragma once

namespace vh {

struct TCodecColumn {
  const char* column;
  const char* parameter;
};

inline constexpr TCodecColumn kCodecColumns[] = {
    {"b_server_allow_codec_celp51", ":bCelp51"},
    {"b_server_allow_codec_celp63", ":bCelp63"},
    {"b_server_allow_codec_gsm148", ":bGSM148"},
    {"b_server_allow_codec_gsm164", ":bGSM164"},
    {"b_server_allow_codec_celp52", ":bCelp52"},
    {"b_server_allow_codec_speex2150", ":bSpeex2150"},
    {"b_server_allow_codec_speex3950", ":bSpeex3950"},
    {"b_server_allow_codec_speex5950", ":bSpeex5950"},
    {"b_server_allow_codec_speex8000", ":bSpeex8000"},
    {"b_server_allow_codec_speex11000", ":bSpeex11000"},
    {"b_server_allow_codec_speex15000", ":bSpeex15000"},
    {"b_server_allow_codec_speex18200", ":bSpeex18200"},
    {"b_server_allow_codec_speex24600", ":bSpeex24600"},
};

}  // namespace vh
