// What open and term share about one channel: reading a newcomer's DEF the
// way it was meant, opening the channel, and saying why when the line will
// not carry what the DEF asks or the channel does not open.
#pragma once

#include "ISerBase.h"
#include "ISerManager.h"
#include "args.h"
#include "plugin.h"

namespace kxhost {

// Before GetSer. A DEF that begins with /dev/ loses it (the plug-in puts
// /dev/ before the port itself), with a note. A network peer's DEF given
// without --type gets the network kind with its port as the index; one the
// plug-in cannot reach (a host name, IPv6, a port outside 1-65535) is
// refused. Returns kExitOk or kExitUsage.
int ResolveChannelArgs(ChannelArgs* c);

// Opens the channel GetSer gave for `c`, with warnings on standard error
// about each field of a serial DEF the line does not carry as written, and
// the reason when it does not open (the library's, KxLastError, where `p`
// has it). A port name longer than the plug-in keeps is refused before
// Open. Returns kExitOk, kExitFailed (not opened) or kExitUsage (refused);
// the caller closes the channel.
int OpenChannel(const Plugin& p, ISerBase* ser, const ChannelArgs& c);

// After GetSer of a serial channel: a warning on standard error for each
// other serial port of this machine whose type code is the channel's, so
// that one host asking for both would get this one channel (list.cpp, where
// the ports are found).
void WarnSharedTypeCode(ISerManager* mgr, ISerBase* ser);

}  // namespace kxhost
