import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import com.StreamController
import "components/ScreenLogic.js" as Logic

// The working screen after sign-in: the channel bar, the network bar, the event panel, the
// microphone and chat strip and the on-air bar, with the logout and edit-event dialogs over
// them. It owns the chat socket of the channel's room.
Page {
    id: screen

    // 0: ready, 2: the logout dialog is shown.
    property int currentState: 0
    property bool showEditEventModal: false
    // The edit-event dialog's first image choice.
    property string selectedImageFile: ""
    // The last backend request failed: the edit-event dialog stays open.
    property bool hasError: false
    // Logout was confirmed while on air: the broadcast is being stopped, the sign-out follows.
    property bool logoutPending: false
    // The chat room's address, once the chat token is there.
    readonly property url chatAddress: StreamController.chatToken === ""
                                       ? ""
                                       : ChatProtocol.roomAddress(StreamController.ChannelSlug,
                                                                  StreamController.chatToken)

    // Back to the login screen, whichever screen is on top.
    function signOut() {
        screen.logoutPending = false;
        logoutDeadline.stop();
        AuthController.logout();
        screen.StackView.view.pop(null);
    }

    // Signs out once a broadcast stopped for the logout is off air and the backend has
    // answered its stop-stream notice (sent with the token that the sign-out revokes).
    function signOutWhenStopped() {
        if (screen.logoutPending && !StreamController.streaming
                && StreamController.pendingNotices === 0)
            screen.signOut();
    }

    // A broadcast on air is stopped before the sign-out: its recording is completed and the
    // stop-stream notice goes out while the token is still valid.
    function confirmLogout() {
        if (!StreamController.streaming) {
            screen.signOut();
            return;
        }
        screen.logoutPending = true;
        logoutDeadline.interval = StreamController.stopWaitMs;
        logoutDeadline.start();
        StreamController.startStop();
    }

    objectName: "broadcastScreen"
    Accessible.name: qsTr("Broadcast")
    Accessible.ignored: !visible
    // Back from the edit-event dialog, the keyboard focus is where it was.
    onShowEditEventModalChanged: {
        if (!showEditEventModal)
            streamDetails.focusEditEvent();
    }
    // While the screen shows, the chosen input's level is on the meter, on air or not.
    onVisibleChanged: StreamController.showInputLevel(visible)
    Component.onCompleted: {
        StreamController.fetchChannel();
        StreamController.fetchChatToken();
        if (visible)
            StreamController.showInputLevel(true);
    }
    Component.onDestruction: {
        if (visible)
            StreamController.showInputLevel(false);
    }

    background: Rectangle {
        gradient: Gradient {
            GradientStop {
                position: 0.0
                color: "#8B4545"
            }
            GradientStop {
                position: 1.0
                color: "#2D2D2D"
            }
        }
    }

    header: BroadcastHeader {
        id: broadcastHeader

        objectName: "broadcastHeader"
        channelName: StreamController.channelName
        channelArt: StreamController.channelArt
        onProfileClicked: screen.currentState = 2
        onRecordingsClicked: screen.StackView.view.push(recordingsScreen)
    }

    footer: BroadcastFooter {
        objectName: "broadcastFooter"
    }

    Component {
        id: recordingsScreen

        RecordingsScreen {}
    }

    Connections {
        target: StreamController

        // A stream-details update closes the dialog when it went through; requestCompleted
        // has told by then.
        function onIsLoadingChanged() {
            if (!StreamController.isLoading && screen.showEditEventModal && !screen.hasError)
                screen.showEditEventModal = false;
        }

        function onRequestCompleted(message: string, hasError: bool) {
            screen.hasError = hasError;
            requestToast.showMessage(message, hasError);
        }

        function onMountPointChanged() {
            if (StreamController.mountPoint !== "")
                ChatController.fetchMessages(StreamController.ChannelSlug);
        }

        function onStreamingChanged() {
            screen.signOutWhenStopped();
        }

        function onPendingNoticesChanged() {
            screen.signOutWhenStopped();
        }
    }

    // The room's live messages. A token from an earlier visit of this screen is used until the
    // new one arrives; a new address moves the connection.
    ChatSocket {
        id: chatSocket

        objectName: "chatSocket"
        url: screen.chatAddress
        onMessageReceived: (name, message) => {
            ChatController.addMessage(2, name, message);
            if (name !== StreamController.ChannelSlug)
                chatPanel.announce(name, message);
        }
    }

    // A backend that does not answer the stop-stream notice holds up the sign-out no longer
    // than it holds up closing the window.
    Timer {
        id: logoutDeadline

        onTriggered: {
            if (screen.logoutPending)
                screen.signOut();
        }
    }

    // Slides in at the top of the content area when the connection is lost or comes back, and
    // while a broadcast records but the streaming server has not taken it yet.
    Rectangle {
        id: networkBar

        readonly property bool connecting: StreamController.connectingToServer
        readonly property string message: connecting
                                          ? qsTr("Recording. Not on air yet: connecting to the server\u2026")
                                          : StreamController.networkBarMessage

        objectName: "networkBar"
        parent: screen
        y: screen.header.height
        width: screen.width
        height: StreamController.networkBarVisible || connecting ? 36 : 0
        z: 50
        color: connecting ? "#F2A516" : StreamController.networkBarIsError ? "#CC3333" : "#4CAF50"
        clip: true

        // Said as the bar slides in, and again when its message changes.
        Announcement {
            message: StreamController.networkBarVisible || networkBar.connecting
                     ? networkBar.message : ""
        }

        // The time since the press, while connecting.
        Timer {
            id: waitClock

            property int seconds: 0

            function update() {
                seconds = Math.max(0, Math.floor(
                    (Date.now() - StreamController.broadcastStart.getTime()) / 1000));
            }

            interval: 1000
            repeat: true
            running: networkBar.connecting
            onRunningChanged: update()
            onTriggered: update()
        }

        Behavior on height {
            NumberAnimation {
                duration: 250
                easing.type: Easing.InOutQuad
            }
        }

        Row {
            anchors.centerIn: parent
            spacing: 8

            Text {
                objectName: "networkBarSymbol"
                anchors.verticalCenter: parent.verticalCenter
                text: networkBar.connecting ? "\u25CF"
                                            : StreamController.networkBarIsError ? "\u26A0" : "\u2713"
                color: networkBar.connecting ? "#CC3333" : "#FFFFFF"
                font.pixelSize: 14
                font.bold: true
            }

            Text {
                objectName: "networkBarMessage"
                anchors.verticalCenter: parent.verticalCenter
                text: networkBar.message
                color: networkBar.connecting ? "#1A1A1A" : "#FFFFFF"
                font.pixelSize: 13
                font.bold: true
            }

            Text {
                objectName: "networkBarTime"
                anchors.verticalCenter: parent.verticalCenter
                visible: networkBar.connecting
                text: Logic.clockText(waitClock.seconds)
                color: "#1A1A1A"
                font.pixelSize: 13
                Accessible.ignored: true
            }
        }
    }

    Column {
        id: mainColumn

        anchors.fill: parent
        anchors.topMargin: networkBar.height

        StreamDetails {
            id: streamDetails

            objectName: "streamDetails"
            width: parent.width
            height: parent.height - 380
            onEditEventClicked: {
                screen.hasError = false;
                screen.showEditEventModal = true;
            }
        }

        Rectangle {
            objectName: "controlStrip"
            width: parent.width
            height: 380
            color: "#1A1A1A"

            RowLayout {
                anchors.fill: parent
                spacing: 0

                MicControlPanel {
                    objectName: "micPanel"
                    Layout.preferredWidth: parent.width / 4
                    Layout.fillHeight: true
                    headerText: qsTr("MIC")
                }

                ChatPanel {
                    id: chatPanel

                    objectName: "chatPanel"
                    Layout.preferredWidth: parent.width * 3 / 4
                    Layout.fillHeight: true
                    socket: chatSocket
                }
            }
        }
    }

    // On air: the microphone is gone (the listeners hear silence), or nothing but silence has
    // come from it for a while. Lies over the lower edge of the stream details.
    Rectangle {
        objectName: "inputWarning"
        width: parent.width
        height: 34
        y: mainColumn.y + streamDetails.height - height
        z: 40
        visible: StreamController.microphoneLost || StreamController.deadAir
        color: "#F2A516"

        Announcement {
            message: inputWarningText.text
        }

        Row {
            anchors.centerIn: parent
            spacing: 8

            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: "\u26A0"
                color: "#1A1A1A"
                font.pixelSize: 14
                font.bold: true
            }

            Text {
                id: inputWarningText

                objectName: "inputWarningText"
                anchors.verticalCenter: parent.verticalCenter
                text: StreamController.microphoneStalled
                      ? qsTr("The microphone stopped sending sound. Listeners hear silence until it is back or you choose another input.")
                      : StreamController.microphoneLost
                        ? qsTr("The microphone is disconnected. Listeners hear silence until it is back or you choose another input.")
                        : qsTr("No sound is coming from the microphone")
                color: "#1A1A1A"
                font.pixelSize: 13
                font.bold: true
            }
        }
    }

    // Covers the whole page, header and footer included. It takes no clicks itself: outside
    // its card they reach the screen underneath.
    LogoutDialog {
        objectName: "logoutDialog"
        parent: screen
        anchors.fill: parent
        z: 1
        visible: screen.currentState === 2
        busy: screen.logoutPending || StreamController.isBusy
        onLogoutConfirmed: screen.confirmLogout()
        onCancelled: {
            screen.currentState = 0;
            broadcastHeader.focusLogout();
        }
    }

    // While a sign-out waits for the broadcast to stop, nothing else on the screen can be used.
    MouseArea {
        objectName: "logoutInputBlocker"
        parent: screen
        anchors.fill: parent
        z: 3
        visible: screen.logoutPending
        acceptedButtons: Qt.AllButtons
        hoverEnabled: true
        focus: visible
        onVisibleChanged: {
            if (visible)
                forceActiveFocus();
        }
        onWheel: wheel => wheel.accepted = true
        Keys.onPressed: event => event.accepted = true
    }

    EditEventDialog {
        objectName: "editEventDialog"
        parent: screen
        anchors.fill: parent
        z: 2
        visible: screen.showEditEventModal
        selectedImageFile: screen.selectedImageFile
        onSaved: (eventName, filePath) => StreamController.updateStreamDetails(eventName, filePath)
        onCancelled: screen.showEditEventModal = false
    }

    Toast {
        id: requestToast

        property bool isError: false

        function showMessage(message: string, error: bool) {
            isError = error;
            show(message);
        }

        objectName: "requestToast"
        parent: screen
        anchors.right: parent.right
        anchors.rightMargin: 10
        y: screen.header.height + 10
        width: screen.width * 0.3
        textWidth: width - 24
        height: label.height + 24
        z: 100
        color: isError ? "#CC3333" : "#2E7D32"
    }
}
