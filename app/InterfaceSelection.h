#pragma once
// Turns the configured `Interface` into the connector the server uses. Always
// returns a new connector without a parent (a NullReader when the configured
// link cannot be built), which the caller owns; a CAN connector comes back
// bound to the engine, and initialised by that binding.

class AbstractConnector;
class CorvidConfigData;
class CorvidEngine;

// guiMode: whether a window exists that could answer questions; the connector
// is built knowing it, and its own guiMode field is set from it before binding.
AbstractConnector *createConnector(CorvidConfigData *config, CorvidEngine &engine, bool guiMode = false);
