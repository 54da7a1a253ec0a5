#pragma once
// Turns the configured `Interface` into the connector the server uses. Always
// returns a new connector without a parent (a NullReader when the configured
// link cannot be built); a CAN connector comes back bound to the engine.

class AbstractConnector;
class CorvidConfigData;

// guiMode: whether a window exists that could answer questions; the connector
// is built knowing it, and its own guiMode field is set from it before binding.
AbstractConnector *createConnector(CorvidConfigData *config, bool guiMode = false);
