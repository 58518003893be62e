// The text menu: status, commands, prompts, help and presets.
#pragma once

// Runs the menu until "x" or the end of standard input; returns the exit
// status (0).
int RunMenu();
