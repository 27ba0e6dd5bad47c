#pragma once

class QString;

// A modal box with one text and the standard OK button. On the GUI thread it
// returns once the player has closed the box; from any other thread it hands
// the box to the GUI thread and returns at once, so a worker can never
// deadlock against a GUI thread that is waiting for it.
void showMessage(const QString &text);
