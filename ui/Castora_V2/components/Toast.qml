import QtQuick

// A message that fades in over 200 ms, stays for `holdTime` and fades out over 500 ms. Where
// it sits, its size and its colour are up to the screen; the text is centred in it.
Rectangle {
    id: toast

    property int holdTime: 4000
    // The width the text wraps in; -1: one line as long as the text.
    property real textWidth: -1
    readonly property alias label: label

    // Shows `message`; a new message restarts the whole sequence.
    function show(message: string) {
        label.text = message;
        sequence.restart();
    }

    opacity: 0
    visible: opacity > 0

    Announcement {
        message: label.text
    }

    RemoteText {
        id: label

        Accessible.ignored: true
        anchors.centerIn: parent
        width: toast.textWidth >= 0 ? toast.textWidth : implicitWidth
        wrapMode: Text.WordWrap
        horizontalAlignment: toast.textWidth >= 0 ? Text.AlignLeft : Text.AlignHCenter
        color: "#FFFFFF"
        font.pixelSize: 14
    }

    SequentialAnimation {
        id: sequence

        NumberAnimation {
            target: toast
            property: "opacity"
            to: 1
            duration: 200
        }
        PauseAnimation {
            duration: toast.holdTime
        }
        NumberAnimation {
            target: toast
            property: "opacity"
            to: 0
            duration: 500
        }
    }
}
