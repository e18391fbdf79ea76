// The product's smart-card types are made unknown to the smart-card resource manager, their
// registrations deleted, and the product's cryptographic service provider removed from the default
// providers.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"

// The stage: forgets every card type of the catalogue, deletes the registrations that remain in both
// registry views, then deletes the provider's key in both views.
void Unregister_Smart_Cards();

// Runs the procedure with its argument: on the calling thread outside a remote desktop session
// (false), else on a worker thread whose impersonation token has been moved to session 0, waiting for
// it to end. True when the worker's exit code is not 0; false when it is 0 or when a step failed
// (reported, and its error value recorded in result). A worker that cannot be given its token or let
// go never runs the procedure: it ends at once and is waited for.
bool Run_In_Session_Zero(unsigned(__stdcall* procedure)(void*), void* argument, Lib_Result& result);

// The worker procedure: its argument points at the pointer to one card type's name. Returns the
// smart-card status of the forget (0 or 2 when the card is no longer registered).
unsigned __stdcall Forget_Smart_Card_Type(void* argument);
