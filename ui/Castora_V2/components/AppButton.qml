import QtQuick
import QtQuick.Controls

// Every button of the UI: Space, Enter and Return press it while it has the keyboard focus,
// and it wears the shared focus mark. Screen readers know it by its text (buttons that show
// only an icon still set `text`, and a description of what they do); it is not exposed while
// it is not shown.
Button {
    id: control

    focusPolicy: Qt.StrongFocus
    Accessible.ignored: !visible
    Keys.onReturnPressed: control.clicked()
    Keys.onEnterPressed: control.clicked()

    FocusMark {
        shown: control.visualFocus
    }
}
