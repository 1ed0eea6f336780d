pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import com.StreamController
import "ScreenLogic.js" as Logic

// The broadcast screen's black bottom bar: on-air state, the time on air, the stream quality
// and the Start/Stop button.
ToolBar {
    id: footer

    // Seconds on air, counted by the UI's one-second ticks.
    property int seconds: 0

    implicitHeight: 50
    padding: 0
    background: Rectangle {
        color: "#000000"
    }

    Timer {
        id: airTimer

        interval: 1000
        repeat: true
        running: StreamController.streaming
        onRunningChanged: {
            if (running)
                footer.seconds = 0;
            else
                timerLabel.text = Logic.clockText(0);
        }
        onTriggered: {
            footer.seconds += 1;
            timerLabel.text = Logic.clockText(footer.seconds);
        }
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 15
        anchors.rightMargin: 15

        // An alert, so that screen readers say it when it changes (a Label would be a plain
        // label to them whatever its role).
        Text {
            objectName: "onAirLabel"
            Accessible.role: Accessible.AlertMessage
            Accessible.name: text
            text: StreamController.live ? qsTr("ON AIR")
                                        : StreamController.streaming ? qsTr("RECORDING") : qsTr("OFF AIR")
            color: StreamController.live ? "#4CAF50" : StreamController.streaming ? "#F2A516" : "#FFFFFF"
            font.pixelSize: 11
            font.bold: true
        }

        Item {
            Layout.fillWidth: true
        }

        Label {
            id: timerLabel

            objectName: "timerLabel"
            textFormat: Text.PlainText
            text: "00:00:00"
            color: "#FFFFFF"
            font.pixelSize: 11
            font.bold: true
        }

        Item {
            Layout.fillWidth: true
        }

        // The chooser carries the name for screen readers.
        Label {
            Layout.alignment: Qt.AlignVCenter
            Accessible.ignored: true
            text: qsTr("Stream Quality:")
            color: "#FFFFFF"
            font.pixelSize: 11
            font.bold: true
        }

        ComboBox {
            id: qualityBox

            readonly property color textColor: enabled ? "#FFFFFF" : "#888888"

            objectName: "qualityBox"
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            implicitWidth: 100
            implicitHeight: 36
            model: [qsTr("Premium"), qsTr("High"), qsTr("Standard"), qsTr("Low")]
            currentIndex: StreamController.streamQuality
            enabled: !StreamController.streaming && !StreamController.isBusy
            onCurrentIndexChanged: StreamController.streamQuality = currentIndex
            Accessible.name: qsTr("Stream Quality")

            FocusMark {
                shown: qualityBox.visualFocus
            }

            background: Rectangle {
                color: qualityBox.enabled ? "#2A2A2A" : "#1A1A1A"
                radius: 5
                border.color: "#555555"
                border.width: 1
            }
            contentItem: Text {
                leftPadding: 12
                rightPadding: qualityBox.indicator.width + 6
                textFormat: Text.PlainText
                text: qualityBox.displayText
                color: qualityBox.textColor
                font.pixelSize: 11
                font.bold: true
                verticalAlignment: Text.AlignVCenter
                elide: Text.ElideRight
            }
            indicator: Text {
                x: qualityBox.width - width - 10
                y: (qualityBox.height - height) / 2
                text: "\u25BE"
                color: qualityBox.textColor
                font.pixelSize: 12
            }
            delegate: ItemDelegate {
                id: qualityEntry

                required property int index
                required property string modelData

                objectName: "qualityEntry"
                text: modelData
                width: qualityBox.width - 4
                height: 32
                highlighted: qualityBox.highlightedIndex === index
                contentItem: Text {
                    leftPadding: 8
                    text: qualityEntry.modelData
                    color: "#FFFFFF"
                    font.pixelSize: 11
                    font.bold: qualityBox.currentIndex === qualityEntry.index
                    verticalAlignment: Text.AlignVCenter
                }
                background: Rectangle {
                    color: qualityEntry.hovered ? "#444444" : "transparent"
                    radius: 4
                }
            }
            popup: Popup {
                y: qualityBox.height + 2
                width: qualityBox.width
                padding: 2
                background: Rectangle {
                    color: "#2A2A2A"
                    radius: 6
                    border.color: "#555555"
                    border.width: 1
                }
                // The popup is as high as the list, plus its padding.
                contentItem: ListView {
                    clip: true
                    implicitHeight: contentHeight
                    model: qualityBox.popup.visible ? qualityBox.delegateModel : null
                    currentIndex: qualityBox.highlightedIndex
                }
            }
        }

        AppButton {
            id: startStopButton

            objectName: "startStopButton"
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            implicitWidth: 110
            implicitHeight: 36
            text: StreamController.streaming ? qsTr("Stop") : qsTr("Start")
            enabled: !StreamController.isBusy
            background: Rectangle {
                radius: height / 2
                color: StreamController.isBusy ? "#666666"
                                               : StreamController.streaming ? "#333333" : "#CC3333"
            }
            contentItem: Item {
                Text {
                    anchors.centerIn: parent
                    text: startStopButton.text
                    visible: !StreamController.isBusy
                    color: "#FFFFFF"
                    font.pixelSize: 11
                    font.bold: true
                }

                BusyIndicator {
                    objectName: "startStopSpinner"
                    anchors.centerIn: parent
                    width: 24
                    height: 24
                    visible: StreamController.isBusy
                    running: StreamController.isBusy
                    palette.dark: "#FFFFFF"
                    Accessible.ignored: true
                }
            }
            onClicked: StreamController.startStop()
        }
    }
}
