import QtQuick

// The keyboard focus mark that every focusable control shares: a blue ring just outside the
// control. Placed inside the control it marks; `shown` says when (a button's visualFocus: the
// focus came from the keyboard; a text field's activeFocus).
Rectangle {
    property bool shown: false

    anchors.fill: parent
    anchors.margins: -3
    radius: 8
    color: "transparent"
    border.color: "#3D8BFD"
    border.width: 2
    visible: shown
    z: 100
}
