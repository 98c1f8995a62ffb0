// What open and term share about one channel: reading a newcomer's DEF the
// way it was meant, opening the channel, and saying why when the line will
// not carry what the DEF asks or the channel does not open.
#pragma once

#include "ISerBase.h"
#include "args.h"

namespace kxhost {

// Before GetSer. A DEF that begins with /dev/ loses it (the plug-in puts
// /dev/ before the port itself), with a note. A network peer's DEF given
// without --type gets the network kind with its port as the index.
void ResolveChannelArgs(ChannelArgs* c);

// Opens the channel GetSer gave for `c`, with warnings on standard error
// about each field of a serial DEF the line does not carry as written, and
// the reason when it does not open. A port name longer than the plug-in
// keeps is refused before Open. Returns kExitOk, kExitFailed (not opened)
// or kExitUsage (refused); the caller closes the channel.
int OpenChannel(ISerBase* ser, const ChannelArgs& c);

}  // namespace kxhost
