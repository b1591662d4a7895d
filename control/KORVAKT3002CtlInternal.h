#pragma once
// For code inside this tree that reaches past the control's members (its own
// dialogs, the TANGO server, tests, benchmarks): the control class together
// with the protocol object behind Protocol(). Not installed; hosts use
// KORVAKT3002Ctl.h, which names no protocol or link type.
#include "KORVAKT3002Ctl.h"
#include "KT300Protocol.h"
