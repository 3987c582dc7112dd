// The thirteen codecs of a virtual server's permits, in codec id order, with every name each
// boundary gives them: the column of the server row, the parameter of the edit script, the
// web form's name ("CODEC<name>", "SERVERCFG_CODEC_<name>_SELECTED") and the query's name
// ("server_allow_codec_<name>" in "si" and "serverset"). Constant; any thread.
#pragma once

#include <cstddef>

namespace vh {

struct TCodecRow {
  const char* column;
  const char* parameter;
  const char* webName;
  const char* queryName;
};

inline constexpr TCodecRow kCodecTable[] = {
    {"b_server_allow_codec_celp51", ":bCelp51", "Celp51", "celp51"},
    {"b_server_allow_codec_celp63", ":bCelp63", "Celp63", "celp63"},
    {"b_server_allow_codec_gsm148", ":bGSM148", "GSM148", "gsm148"},
    {"b_server_allow_codec_gsm164", ":bGSM164", "GSM164", "gsm164"},
    {"b_server_allow_codec_celp52", ":bCelp52", "WindowsCELP52", "windowscelp52"},
    {"b_server_allow_codec_speex2150", ":bSpeex2150", "SPEEX2150", "speex2150"},
    {"b_server_allow_codec_speex3950", ":bSpeex3950", "SPEEX3950", "speex3950"},
    {"b_server_allow_codec_speex5950", ":bSpeex5950", "SPEEX5950", "speex5950"},
    {"b_server_allow_codec_speex8000", ":bSpeex8000", "SPEEX8000", "speex8000"},
    {"b_server_allow_codec_speex11000", ":bSpeex11000", "SPEEX11000", "speex11000"},
    {"b_server_allow_codec_speex15000", ":bSpeex15000", "SPEEX15000", "speex15000"},
    {"b_server_allow_codec_speex18200", ":bSpeex18200", "SPEEX18200", "speex18200"},
    {"b_server_allow_codec_speex24600", ":bSpeex24600", "SPEEX24600", "speex24600"},
};
inline constexpr size_t kCodecTableSize = sizeof kCodecTable / sizeof kCodecTable[0];

}  // namespace vh
