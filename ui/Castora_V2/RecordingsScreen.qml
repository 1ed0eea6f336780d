pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQml.Models
import com.StreamController
import "components/ScreenLogic.js" as Logic

// The local recordings, newest first: search by title or date, open a recording's folder,
// upload it (a spinner, or a progress circle for chunked uploads) and delete it.
Page {
    id: screen

    // The recording awaiting the delete confirmation.
    property int pendingDeleteId: -1
    property string pendingDeleteName: ""
    // Uploads in progress: id -> {isLargeFile, progress}. Replaced on every change, never
    // changed in place, so that every row reading it is updated.
    property var uploadingRecordings: ({})

    // Puts every row that matches the search into the "visible" group, and the others out.
    function applyFilter() {
        const rows = filteredRecordings.items;
        for (let i = 0; i < rows.count; ++i) {
            const row = rows.get(i);
            row.inVisible = Logic.matchesSearch(searchField.text, row.model.name,
                                                row.model.dateCreated);
        }
    }

    function upload(id: int, name: string) {
        if (!StreamController.isSubscriber) {
            subscriptionDialog.open();
            return;
        }
        console.debug("Uploading recording:", name, "ID:", id);
        RecordingController.uploadRecording(id);
    }

    objectName: "recordingsScreen"
    Accessible.name: qsTr("Recordings")
    Accessible.ignored: !visible
    StackView.onActivated: backButton.forceActiveFocus(Qt.TabFocusReason)

    background: Rectangle {
        color: "#FFFFFF"
    }

    // A round outlined link to one of the service's pages; `text` names it for screen readers.
    component LinkIcon: AppButton {
        id: linkIcon

        property url iconSource
        property string url

        implicitWidth: 24
        implicitHeight: 24
        padding: 0
        Accessible.description: url
        background: Rectangle {
            radius: 12
            color: "transparent"
            border.color: "#CCCCCC"
            border.width: 1
        }
        contentItem: Item {
            Image {
                anchors.centerIn: parent
                width: 14
                height: 14
                source: linkIcon.iconSource
                sourceSize.width: 28
                sourceSize.height: 28
                fillMode: Image.PreserveAspectFit
            }
        }
        onClicked: Qt.openUrlExternally(linkIcon.url)

        HoverHandler {
            cursorShape: Qt.PointingHandCursor
        }
    }

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

    // The buttons of the two dialogs.
    component DialogButton: AppButton {
        id: dialogButton

        property color fill
        property color hoverFill
        property color textColor: "#FFFFFF"
        property bool boldText: true
        property color borderColor: "transparent"

        background: Rectangle {
            color: dialogButton.hovered ? dialogButton.hoverFill : dialogButton.fill
            radius: 8
            border.color: dialogButton.borderColor
            border.width: dialogButton.borderColor === Qt.color("transparent") ? 0 : 1
        }
        contentItem: Text {
            text: dialogButton.text
            color: dialogButton.textColor
            font.pixelSize: 14
            font.bold: dialogButton.boldText
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
    }

    Connections {
        target: RecordingController

        function onUploadStarted(id: int, isLargeFile: bool) {
            screen.uploadingRecordings = Logic.withUpload(screen.uploadingRecordings, id,
                                                          isLargeFile, 0);
        }

        function onUploadProgress(id: int, progress: int) {
            const entry = screen.uploadingRecordings[id];
            if (entry)
                screen.uploadingRecordings = Logic.withUpload(screen.uploadingRecordings, id,
                                                              entry.isLargeFile, progress);
        }

        function onUploadCompleted(id: int, success: bool, message: string) {
            screen.uploadingRecordings = Logic.withoutUpload(screen.uploadingRecordings, id);
            if (success) {
                toast.show(message !== "" ? message : qsTr("Upload successful"));
            } else {
                console.debug("Upload failed:", message);
                toast.show(message);
            }
        }
    }

    header: Rectangle {
        implicitHeight: 70
        color: "#FFFFFF"

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 20
            anchors.rightMargin: 20
            spacing: 15

            AppButton {
                id: backButton

                objectName: "backButton"
                flat: true
                text: qsTr("Back")
                Accessible.description: qsTr("Back to the broadcast screen")
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                background: Rectangle {
                    radius: 20
                    color: backButton.hovered ? "#F0F0F0" : "transparent"
                }
                contentItem: Text {
                    text: "←"
                    color: "#333333"
                    font.pixelSize: 22
                    font.bold: true
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                onClicked: screen.StackView.view.pop()
            }

            Label {
                text: qsTr("Recordings")
                color: "#222222"
                font.pixelSize: 20
                font.bold: true
            }

            Item {
                Layout.fillWidth: true
            }

            Rectangle {
                Layout.preferredWidth: 300
                Layout.preferredHeight: 40
                color: "#F8F8F8"
                border.color: "#E0E0E0"
                border.width: 1
                radius: 20

                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 15
                    anchors.rightMargin: 15
                    spacing: 10

                    Text {
                        text: "🔍"
                        font.family: Logic.emojiFont
                        color: "#888888"
                        font.pixelSize: 16
                    }

                    TextField {
                        id: searchField

                        objectName: "searchField"
                        Layout.fillWidth: true
                        placeholderText: qsTr("Search by title or date")
                        placeholderTextColor: "#999999"
                        color: "#333333"
                        font.pixelSize: 14
                        background: null
                        selectByMouse: true
                        activeFocusOnTab: true
                        onTextChanged: screen.applyFilter()
                        Accessible.name: placeholderText
                        Accessible.ignored: !visible

                        FocusMark {
                            anchors.margins: -6
                            anchors.leftMargin: -40
                            shown: searchField.activeFocus
                        }
                    }
                }
            }

            Item {
                Layout.fillWidth: true
            }

            Row {
                spacing: 10

                LinkIcon {
                    objectName: "facebookLink"
                    text: qsTr("Facebook")
                    iconSource: "icons/facebook.png"
                    url: AppLinks.facebook
                }

                LinkIcon {
                    objectName: "linkedinLink"
                    text: qsTr("LinkedIn")
                    iconSource: "icons/linkedin.png"
                    url: AppLinks.linkedin
                }

                LinkIcon {
                    objectName: "whatsappLink"
                    text: qsTr("WhatsApp")
                    iconSource: "icons/whatsapp.png"
                    url: AppLinks.support
                }
            }
        }
    }

    DelegateModel {
        id: filteredRecordings

        model: RecordingController
        groups: [
            DelegateModelGroup {
                name: "visible"
                includeByDefault: false
            }
        ]
        filterOnGroup: "visible"
        items.onChanged: screen.applyFilter()

        delegate: Rectangle {
            id: row

            required property var model
            readonly property var upload: screen.uploadingRecordings[model.id]

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
                    iconSource: "icons/folder_icon.png"
                    onClicked: Qt.openUrlExternally(Logic.folderUrl(row.model.path))
                }

                // Upload button, spinner or progress circle; nothing once uploaded. A file that
                // is still being written cannot be uploaded yet.
                Item {
                    objectName: "uploadSlot"
                    Layout.preferredWidth: 40
                    Layout.preferredHeight: 40
                    visible: !row.model.uploadStatus

                    RowButton {
                        objectName: "uploadButton"
                        anchors.fill: parent
                        text: qsTr("Upload")
                        Accessible.description: qsTr("Uploads %1 to the service")
                                                .arg(row.model.name)
                        iconSource: "icons/cloud_upload_icon.png"
                        visible: !row.upload && !row.model.isRecording
                        onClicked: screen.upload(row.model.id, row.model.name)
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
                    Accessible.description: qsTr("Deletes %1, after a confirmation")
                                            .arg(row.model.name)
                    iconSource: "icons/delete_icon.png"
                    onClicked: {
                        screen.pendingDeleteId = row.model.id;
                        screen.pendingDeleteName = row.model.name;
                        deleteDialog.open();
                    }
                }
            }
        }
    }

    ListView {
        objectName: "recordingList"
        Accessible.role: Accessible.List
        Accessible.name: qsTr("Recordings")
        Accessible.ignored: !visible
        anchors.fill: parent
        anchors.topMargin: 10
        spacing: 5
        clip: true
        model: filteredRecordings
        Component.onCompleted: RecordingController.loadRecordings()
    }

    Dialog {
        id: deleteDialog

        objectName: "deleteDialog"
        anchors.centerIn: parent
        width: 400
        modal: true
        // Opened, Cancel has the keyboard focus; Tab goes between the two buttons.
        focus: true
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
        padding: 0
        title: qsTr("Delete Recording")
        background: Rectangle {
            color: "#FFFFFF"
            radius: 12
            border.color: "#E0E0E0"
            border.width: 1
        }

        Column {
            width: parent.width
            spacing: 20
            padding: 24

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width - 48
                text: qsTr("Are you sure you want to delete this recording?")
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                color: "#666666"
                font.pixelSize: 14
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignHCenter
            }

            RemoteText {
                objectName: "deleteName"
                anchors.horizontalCenter: parent.horizontalCenter
                width: parent.width - 48
                text: "\"" + (screen.pendingDeleteName !== "" ? screen.pendingDeleteName
                                                              : qsTr("Recording")) + "\""
                color: "#333333"
                font.pixelSize: 14
                font.bold: true
                wrapMode: Text.WordWrap
                maximumLineCount: 3
                elide: Text.ElideMiddle
                horizontalAlignment: Text.AlignHCenter
            }

            Row {
                anchors.horizontalCenter: parent.horizontalCenter
                spacing: 12

                DialogButton {
                    id: deleteCancelButton

                    objectName: "deleteCancelButton"
                    focus: true
                    KeyNavigation.tab: deleteConfirmButton
                    KeyNavigation.backtab: deleteConfirmButton
                    width: 100
                    height: 44
                    text: qsTr("Cancel")
                    fill: "#F0F0F0"
                    hoverFill: "#E8E8E8"
                    textColor: "#333333"
                    boldText: false
                    borderColor: "#DDDDDD"
                    onClicked: deleteDialog.close()
                }

                DialogButton {
                    id: deleteConfirmButton

                    objectName: "deleteConfirmButton"
                    KeyNavigation.tab: deleteCancelButton
                    KeyNavigation.backtab: deleteCancelButton
                    width: 100
                    height: 44
                    text: qsTr("Delete")
                    fill: "#D32F2F"
                    hoverFill: "#B71C1C"
                    onClicked: {
                        if (screen.pendingDeleteId >= 0) {
                            RecordingController.deleteRecording(screen.pendingDeleteId);
                            screen.pendingDeleteId = -1;
                            screen.pendingDeleteName = "";
                        }
                        deleteDialog.close();
                    }
                }
            }
        }
    }

    Dialog {
        id: subscriptionDialog

        objectName: "subscriptionDialog"
        anchors.centerIn: parent
        width: 360
        modal: true
        focus: true
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
        padding: 0
        background: Rectangle {
            color: "#FFFFFF"
            radius: 12
            border.color: "#E0E0E0"
            border.width: 1
        }

        Column {
            width: parent.width
            spacing: 16
            padding: 24

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: "⚠"
                font.family: Logic.emojiFont
                font.pixelSize: 36
            }

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Subscription Required")
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                color: "#222222"
                font.pixelSize: 18
                font.bold: true
            }

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 312
                text: qsTr("Your subscription is not active. Please renew your subscription to upload recordings.")
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                color: "#666666"
                font.pixelSize: 14
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignHCenter
            }

            DialogButton {
                objectName: "subscriptionOkButton"
                focus: true
                anchors.horizontalCenter: parent.horizontalCenter
                width: 120
                height: 40
                text: qsTr("OK")
                fill: "#DD3333"
                hoverFill: "#CC2222"
                onClicked: subscriptionDialog.close()
            }
        }
    }

    Toast {
        id: toast

        objectName: "recordingsToast"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 50
        width: label.implicitWidth + 40
        height: 40
        radius: 20
        color: "#333333"
        holdTime: 3000
        z: 100
    }
}
