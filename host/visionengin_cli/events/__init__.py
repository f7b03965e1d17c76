"""What the command tells about alarms beyond the single picture: the events
log's neighbours (incidents now), shared by the live cameras and the archives."""
