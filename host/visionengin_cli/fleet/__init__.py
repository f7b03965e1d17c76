"""``visionengin collect``: the devices' events, incidents, pictures, camera
states and availability gathered from an MQTT broker under one results root."""
