pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "ScreenLogic.js" as Logic

// One recording in the recordings list: its thumbnail, name and date, then the buttons to open
// its folder, upload it (a spinner, or a progress circle for chunked uploads; nothing once it is
// uploaded) and delete it. The screen acts on the upload and delete signals.
Rectangle {
    id: row

    required property var model
    // The row's upload in progress, {isLargeFile, progress}; undefined when none runs.
    property var upload

    signal uploadClicked
    signal deleteClicked

    // A 40 × 40 transparent button with a 20 × 20 icon at its top left; `text` names it for
    // screen readers, the description says which recording it acts on.
    component RowButton: AppButton {
        id: rowButton

        property url iconSource

        Layout.preferredWidth: 40
        Layout.preferredHeight: 40
        implicitWidth: 40
        implicitHeight: 40
        padding: 0
        background: Item {}
        contentItem: Item {
            Image {
                width: 20
                height: 20
                source: rowButton.iconSource
                sourceSize.width: 40
                sourceSize.height: 40
                fillMode: Image.PreserveAspectFit
            }
        }
    }

    objectName: "recordingRow"
    width: ListView.view.width
    height: 90
    color: "#d1d1d1"
    // Its name and date, and whether it is still being written; the buttons follow.
    Accessible.role: Accessible.ListItem
    Accessible.name: Logic.format(row.model.isRecording
                                  ? qsTr("%1, %2, recording in progress")
                                  : qsTr("%1, %2"),
                                  [row.model.name, row.model.dateCreated])

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 30
        anchors.rightMargin: 30
        spacing: 20

        Rectangle {
            Layout.preferredWidth: 60
            Layout.preferredHeight: 60
            color: "#333333"
            radius: 6

            Column {
                anchors.centerIn: parent
                spacing: 2

                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: "🎵"
                    font.family: Logic.emojiFont
                    font.pixelSize: 20
                }

                Rectangle {
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: 15
                    height: 15
                    color: "#CC3333"
                    radius: 2

                    Text {
                        anchors.centerIn: parent
                        text: "REC"
                        color: "#FFFFFF"
                        font.pixelSize: 6
                        font.bold: true
                    }
                }
            }
        }

        Column {
            Layout.fillWidth: true
            spacing: 5

            RemoteText {
                objectName: "recordingName"
                Accessible.ignored: true
                width: parent.width
                text: row.model.name
                color: "#000000"
                font.pixelSize: 14
                font.bold: true
                elide: Text.ElideRight
            }

            Row {
                spacing: 8

                RemoteText {
                    Accessible.ignored: true
                    text: row.model.dateCreated
                    color: "#666666"
                    font.pixelSize: 11
                }

                Text {
                    objectName: "recordingInProgress"
                    visible: row.model.isRecording
                    text: qsTr("Recording in progress")
                    color: "#CC3333"
                    font.pixelSize: 11
                    font.bold: true
                }
            }
        }

        Item {
            Layout.fillWidth: true
        }

        RowButton {
            objectName: "folderButton"
            text: qsTr("Open folder")
            Accessible.description: qsTr("Shows %1 in its folder").arg(row.model.name)
            iconSource: "../icons/folder_icon.png"
            onClicked: Qt.openUrlExternally(Logic.folderUrl(row.model.path))
        }

        // Upload button, spinner or progress circle; nothing once uploaded. A file that is
        // still being written cannot be uploaded yet.
        Item {
            objectName: "uploadSlot"
            Layout.preferredWidth: 40
            Layout.preferredHeight: 40
            visible: !row.model.uploadStatus

            RowButton {
                objectName: "uploadButton"
                anchors.fill: parent
                text: qsTr("Upload")
                Accessible.description: qsTr("Uploads %1 to the service").arg(row.model.name)
                iconSource: "../icons/cloud_upload_icon.png"
                visible: !row.upload && !row.model.isRecording
                onClicked: row.uploadClicked()
            }

            Rectangle {
                objectName: "recordingDot"
                anchors.centerIn: parent
                width: 12
                height: 12
                radius: 6
                color: "#CC3333"
                visible: !row.upload && row.model.isRecording

                SequentialAnimation on opacity {
                    running: row.model.isRecording
                    loops: Animation.Infinite

                    NumberAnimation {
                        to: 0.2
                        duration: 600
                    }
                    NumberAnimation {
                        to: 1
                        duration: 600
                    }
                }
            }

            BusyIndicator {
                objectName: "uploadSpinner"
                anchors.centerIn: parent
                width: 30
                height: 30
                visible: !!row.upload && !row.upload.isLargeFile
                running: visible
                Accessible.role: Accessible.Indicator
                Accessible.name: qsTr("Uploading")
                Accessible.ignored: !visible
            }

            Item {
                id: progressCircle

                readonly property int progress: row.upload ? row.upload.progress : 0

                objectName: "uploadProgress"
                anchors.fill: parent
                visible: !!row.upload && row.upload.isLargeFile
                Accessible.role: Accessible.Indicator
                Accessible.name: qsTr("Uploading, %1 %").arg(progress)
                Accessible.ignored: !visible
                onProgressChanged: progressCanvas.requestPaint()

                Canvas {
                    id: progressCanvas

                    anchors.fill: parent
                    onPaint: {
                        const ctx = getContext("2d");
                        ctx.reset();
                        const centreX = width / 2;
                        const centreY = height / 2;
                        ctx.lineWidth = 3;
                        ctx.strokeStyle = "#E0E0E0";
                        ctx.beginPath();
                        ctx.arc(centreX, centreY, 15, 0, 2 * Math.PI);
                        ctx.stroke();
                        // From 12 o'clock, clockwise.
                        const start = -Math.PI / 2;
                        ctx.strokeStyle = "#4CAF50";
                        ctx.lineCap = "round";
                        ctx.beginPath();
                        ctx.arc(centreX, centreY, 15, start,
                                start + 2 * Math.PI * progressCircle.progress / 100);
                        ctx.stroke();
                    }
                }

                Text {
                    objectName: "uploadPercent"
                    anchors.centerIn: parent
                    text: progressCircle.progress + "%"
                    color: "#333333"
                    font.pixelSize: 8
                    font.bold: true
                }
            }
        }

        RowButton {
            objectName: "deleteButton"
            text: qsTr("Delete")
            Accessible.description: qsTr("Deletes %1, after a confirmation").arg(row.model.name)
            iconSource: "../icons/delete_icon.png"
            onClicked: row.deleteClicked()
        }
    }
}
