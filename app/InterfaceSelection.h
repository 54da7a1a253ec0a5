#pragma once
// Turns the configured `Interface` into the connector the server uses. Always
// returns a new connector without a parent (a NullReader when the configured
// link cannot be built), which the caller owns; a CAN connector comes back
// bound to the engine, and initialised by that binding.

class AbstractConnector;
class CorvidConfigData;
class CorvidEngine;
class QString;

// guiMode: whether a window exists that could answer questions; the connector
// is built knowing it, and its own guiMode field is set from it before binding.
AbstractConnector *createConnector(CorvidConfigData *config, CorvidEngine &engine, bool guiMode = false);

// The link an `Interface` value selects: "UsbTin", "SocketCAN" or "virtualcan"
// when it contains one (ignoring case; virtualcan only where Qt has that
// plugin), else "AGWPE" or "KISSTCP" likewise, "UDP" for exactly that value,
// and "" for none.
QString corvid_interface_choice(const QString &value);

// A value that is not exactly one of the keywords (case aside) gets a warning
// naming it and what it is taken as.
void corvid_check_interface_value(const QString &value);
