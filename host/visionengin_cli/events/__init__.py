"""What the command tells about alarms beyond the single picture: the event
log (its checked writer, rotation and reader) and its neighbours (incidents),
shared by the live cameras and the archives."""
