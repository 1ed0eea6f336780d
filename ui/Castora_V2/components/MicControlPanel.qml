pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import com.StreamController
import "ScreenLogic.js" as Logic

// The microphone column of the control strip: a header, the input level as 72 dots that light
// from the bottom up (on air or not, while an input is chosen) with a clip indicator, the voice
// processing switch with the loudness while it is on, and the chooser of the input device.
// When no input can be opened the level area says why.
Column {
    id: panel

    property string headerText: qsTr("MIC")
    // The dots lit: a level change that moves no dot changes nothing on screen.
    readonly property int firstLitDot: Logic.firstLitDot(StreamController.micLevel)

    spacing: 0

    Rectangle {
        width: panel.width
        height: 50
        color: "#000000"

        Text {
            anchors.centerIn: parent
            text: panel.headerText
            color: "#FFFFFF"
            font.pixelSize: 13
        }
    }

    Rectangle {
        width: panel.width
        height: 280
        color: "#292929" // also the ground of the level dots' images (icons/src/make-icons)

        // The 72 dots, 3 to a row, lit from the bottom up and each row from the right, in
        // three thirds of 8 rows. Each third is a clip over icons/level_dots.png, which holds
        // a third in each of its 25 states (0 to 24 dots lit) one under the other, and shows
        // its state by where the image lies: a level change repaints only the thirds it
        // changes, and nothing under them (the image is opaque).
        Column {
            id: levelDots

            // The dots lit (the screen tests read it).
            readonly property int lit: Math.max(0, 72 - panel.firstLitDot)

            objectName: "levelDots"
            x: Math.round((parent.width - width) / 2)
            y: Math.round((parent.height - height) / 2)
            spacing: 6
            visible: StreamController.inputProblem === ""
            Accessible.role: Accessible.Indicator
            Accessible.name: qsTr("Input level")
            Accessible.ignored: !visible

            Repeater {
                model: 3

                Item {
                    id: third

                    required property int index

                    width: 27
                    height: 82
                    clip: true

                    Image {
                        y: -third.height
                           * Math.max(0, Math.min(24, levelDots.lit - 24 * (2 - third.index)))
                        source: "../icons/level_dots.png"
                    }
                }
            }
        }

        // Lit for two seconds after a peak at or near full scale.
        Rectangle {
            objectName: "clipIndicator"
            anchors.top: parent.top
            anchors.right: parent.right
            anchors.margins: 10
            width: 38
            height: 18
            radius: 3
            visible: StreamController.inputProblem === ""
            color: StreamController.clipping ? "#E53935" : "#3A3A3A"
            Accessible.role: Accessible.Indicator
            Accessible.name: StreamController.clipping ? qsTr("Clipping") : qsTr("No clipping")
            Accessible.ignored: !visible

            Text {
                anchors.centerIn: parent
                text: qsTr("CLIP")
                color: StreamController.clipping ? "#FFFFFF" : "#777777"
                font.pixelSize: 10
                font.bold: true
            }
        }

        // Voice processing on or off (Space, Enter or Return while it has the focus): noise
        // suppression, leveling to -16 LUFS and a limiter for what the meter shows and the
        // listeners and the recording get.
        Switch {
            id: voiceSwitch

            objectName: "voiceSwitch"
            anchors.top: parent.top
            anchors.left: parent.left
            anchors.margins: 10
            width: 80
            padding: 0
            topPadding: 24
            text: qsTr("Voice processing")
            checked: StreamController.voiceProcessing
            focusPolicy: Qt.StrongFocus
            Accessible.name: text
            Accessible.ignored: !visible
            Keys.onReturnPressed: voiceSwitch.toggleByKey()
            Keys.onEnterPressed: voiceSwitch.toggleByKey()
            onToggled: {
                StreamController.voiceProcessing = checked;
                checked = Qt.binding(() => StreamController.voiceProcessing);
            }

            function toggleByKey() {
                toggle();
                toggled();
            }

            FocusMark {
                shown: voiceSwitch.visualFocus
            }

            indicator: Rectangle {
                x: Math.round((voiceSwitch.width - width) / 2)
                y: 0
                implicitWidth: 36
                implicitHeight: 18
                radius: 9
                color: voiceSwitch.checked ? "#4CAF50" : "#3A3A3A"
                border.color: "#555555"

                Rectangle {
                    x: voiceSwitch.checked ? parent.width - width - 2 : 2
                    y: 2
                    width: 14
                    height: 14
                    radius: 7
                    color: "#FFFFFF"
                }
            }
            contentItem: Text {
                text: voiceSwitch.text
                color: "#DDDDDD"
                font.pixelSize: 10
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }
        }

        // While voice processing is on: where the broadcaster sits (short-term loudness).
        Text {
            objectName: "loudnessText"
            anchors.verticalCenter: parent.verticalCenter
            anchors.right: parent.right
            anchors.rightMargin: 12
            visible: StreamController.voiceProcessing && StreamController.inputProblem === ""
            textFormat: Text.PlainText
            text: Logic.loudnessText(StreamController.loudness)
            color: "#FFFFFF"
            font.pixelSize: 13
            font.bold: true
            Accessible.role: Accessible.StaticText
            Accessible.name: qsTr("Loudness %1").arg(text)
            Accessible.ignored: !visible
        }

        Text {
            objectName: "inputProblemText"
            anchors.centerIn: parent
            width: parent.width - 40
            visible: StreamController.inputProblem !== ""
            text: StreamController.inputProblem
            color: "#DDDDDD"
            font.pixelSize: 13
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap

            Announcement {
                message: StreamController.inputProblem
            }
        }
    }

    Rectangle {
        width: panel.width
        height: 50
        color: "#8B0000"

        // The current microphone is shown, also when it is the default input chosen at
        // start-up; picking an entry switches the capture device.
        ComboBox {
            id: deviceBox

            objectName: "deviceBox"
            anchors.centerIn: parent
            width: 200
            height: 30
            model: StreamController
            textRole: "micName"
            currentIndex: StreamController.currentMicIndex
            // By name: a microphone lost on air is no longer listed but still the one chosen.
            displayText: StreamController.currentMic ? StreamController.currentMic.micName : ""
            // Locked on air and while a start is under way, which opens the device chosen
            // when it began; open on air while the microphone is lost, to choose another.
            enabled: (!StreamController.streaming && !StreamController.isBusy)
                     || StreamController.microphoneLost
            onActivated: index => StreamController.changeMic(index)
            Accessible.name: qsTr("Microphone")

            FocusMark {
                shown: deviceBox.visualFocus
            }

            background: Rectangle {
                color: deviceBox.enabled ? "#6B0000" : "#4A0000"
                radius: 4
            }
            // The style's entries, with the names as plain text.
            delegate: ItemDelegate {
                id: deviceEntry

                required property int index
                required property string micName

                objectName: "deviceEntry"
                width: ListView.view ? ListView.view.width : deviceBox.width
                text: micName
                highlighted: deviceBox.highlightedIndex === index
                contentItem: Text {
                    objectName: "deviceEntryText"
                    text: deviceEntry.micName
                    textFormat: Text.PlainText
                    color: deviceEntry.palette.text
                    font: deviceEntry.font
                    elide: Text.ElideRight
                    verticalAlignment: Text.AlignVCenter
                }
            }
            contentItem: Row {
                leftPadding: 10
                rightPadding: 10

                // Devices name themselves (a Bluetooth headset says what it likes): shown as
                // text, never as markup.
                Text {
                    objectName: "deviceText"
                    anchors.verticalCenter: parent.verticalCenter
                    width: 160
                    textFormat: Text.PlainText
                    text: Logic.truncated(deviceBox.displayText, 20)
                    color: deviceBox.enabled ? "#FFFFFF" : "#888888"
                    font.pixelSize: 12
                    elide: Text.ElideRight
                }
            }
        }
    }
}
