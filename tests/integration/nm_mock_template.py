'''python-dbusmock template: dbusmock's NetworkManager with what libnm 1.42 and nmcli read or
call but it lacks: 1.42's properties, AddConnection2 and ReloadConnections, secrets kept apart
from settings, scans that update LastScan or are refused, device disconnects.
'''

import time

import dbus

import dbusmock
from dbusmock import MOCK_IFACE
import dbusmock.templates.networkmanager as base
# The base template's mock methods (AddWiFiDevice, RemoveAccessPoint, ...) and constants.
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 pylint: disable=wildcard-import,unused-wildcard-import
from dbusmock.templates.networkmanager import (ACCESS_POINT_IFACE, DEVICE_IFACE, MANAGER_IFACE,
                                               MANAGER_OBJ, SETTINGS_IFACE, SETTINGS_OBJ,
                                               CSETTINGS_IFACE, WIRELESS_DEVICE_IFACE)

VERSION = '1.42.4'
NOT_ALLOWED = 'org.freedesktop.NetworkManager.Device.NotAllowed'
NM_RADIO_FLAG_WLAN_AVAILABLE = 0x1
NM_SETTINGS_CONNECTION_FLAG_NONE = 0

# Keys NetworkManager never returns from GetSettings, only from GetSecrets.
SECRET_KEYS = {
    '802-11-wireless-security': {'psk', 'wep-key0', 'wep-key1', 'wep-key2', 'wep-key3',
                                 'leap-password'},
    '802-1x': {'password', 'password-raw', 'private-key-password', 'phase2-private-key-password',
               'pin'},
    'wireguard': {'private-key'},
}


def boottime_seconds():
    '''NetworkManager's time base for an access point's LastSeen.'''
    return int(time.clock_gettime(time.CLOCK_BOOTTIME))


def load(mock, parameters):
    parameters = dict(parameters or {})
    parameters.setdefault('Version', VERSION)
    base.load(mock, parameters)

    manager = dbusmock.get_object(MANAGER_OBJ)
    manager.AddProperties(MANAGER_IFACE, {
        'AllDevices': dbus.Array([], signature='o'),
        'Capabilities': dbus.Array([], signature='u'),
        'RadioFlags': dbus.UInt32(NM_RADIO_FLAG_WLAN_AVAILABLE),
        'Metered': dbus.UInt32(0),
        'PrimaryConnection': dbus.ObjectPath('/'),
        'PrimaryConnectionType': '',
        'ActivatingConnection': dbus.ObjectPath('/'),
        'Checkpoints': dbus.Array([], signature='o'),
        'ConnectivityCheckAvailable': False,
        'ConnectivityCheckEnabled': False,
        'ConnectivityCheckUri': '',
        'GlobalDnsConfiguration': dbus.Dictionary({}, signature='sv'),
    })
    # Activation without a device picks one, as NetworkManager does.
    manager.activate_connection = activate_connection

    settings = dbusmock.get_object(SETTINGS_OBJ)
    settings.AddMethod(SETTINGS_IFACE, 'AddConnection', 'a{sa{sv}}', 'o', add_connection)
    settings.AddMethod(SETTINGS_IFACE, 'AddConnection2', 'a{sa{sv}}ua{sv}', 'oa{sv}',
                       add_connection2)
    settings.AddMethod(SETTINGS_IFACE, 'ReloadConnections', '', 'b', 'ret = True')

    # Secrets live apart from settings, as in NetworkManager.
    base.ConnectionGetSettings = connection_get_settings
    base.ConnectionGetSecrets = connection_get_secrets


# --- Settings ---------------------------------------------------------------------------------

def add_connection(settings_obj, connection):
    path = base.SettingsAddConnection(settings_obj, connection)
    conn = dbusmock.get_object(path)
    conn.AddProperties(CSETTINGS_IFACE, {
        'Flags': dbus.UInt32(NM_SETTINGS_CONNECTION_FLAG_NONE),
        'Filename': '/etc/NetworkManager/system-connections/%s.nmconnection'
                    % connection['connection'].get('id', 'connection'),
    })
    conn.AddMethod(CSETTINGS_IFACE, 'Update2', 'a{sa{sv}}ua{sv}', 'a{sv}', connection_update2)
    return path


def add_connection2(settings_obj, connection, _flags, _args):
    return (add_connection(settings_obj, connection), dbus.Dictionary({}, signature='sv'))


def connection_update2(conn, settings, _flags, _args):
    if settings:
        base.ConnectionUpdate(conn, settings)
    return dbus.Dictionary({}, signature='sv')


def connection_get_settings(conn):
    return {name: {k: v for k, v in setting.items() if k not in SECRET_KEYS.get(name, ())}
            for name, setting in conn.settings.items()}


def connection_get_secrets(conn, setting_name):
    setting = conn.settings.get(setting_name, {})
    secrets = {k: v for k, v in setting.items() if k in SECRET_KEYS.get(setting_name, ())}
    return {setting_name: dbus.Dictionary(secrets, signature='sv')}


DEVICE_TYPES = {'802-3-ethernet': 1, '802-11-wireless': 2}


def activate_connection(manager, connection_path, device, specific_object):
    if device == '/':
        device = device_for(manager, dbusmock.get_object(connection_path).settings)
    return base.activate_connection(manager, connection_path, device, specific_object)


def device_for(manager, settings):
    iface = settings['connection'].get('interface-name')
    wanted_type = DEVICE_TYPES.get(settings['connection'].get('type'))
    for path in manager.GetDevices():
        dev = dbusmock.get_object(path)
        if iface and dev.Get(DEVICE_IFACE, 'Interface') == iface:
            return path
        if not iface and dev.Get(DEVICE_IFACE, 'DeviceType') == wanted_type:
            return path
    raise dbus.exceptions.DBusException('No suitable device found for this connection',
                                        name=MANAGER_IFACE + '.UnknownDevice')


# --- Devices ----------------------------------------------------------------------------------

def complete_device(path):
    '''Adds the device properties of NetworkManager 1.42 the base template leaves out.'''
    dev = dbusmock.get_object(path)
    dev.AddProperties(DEVICE_IFACE, {
        'Udi': '/sys/devices/virtual/net/' + dev.Get(DEVICE_IFACE, 'Interface'),
        'Path': '',
        'Capabilities': dbus.UInt32(0),
        'Ip4Address': dbus.UInt32(0),
        'Ip4Config': dbus.ObjectPath('/'),
        'Ip6Config': dbus.ObjectPath('/'),
        'Dhcp4Config': dbus.ObjectPath('/'),
        'Dhcp6Config': dbus.ObjectPath('/'),
        'Mtu': dbus.UInt32(1500),
        'Real': True,
        'Autoconnect': True,
        'Metered': dbus.UInt32(0),
        'FirmwareMissing': False,
        'NmPluginMissing': False,
        'Ip4Connectivity': dbus.UInt32(0),
        'Ip6Connectivity': dbus.UInt32(0),
        'InterfaceFlags': dbus.UInt32(0),
        'LldpNeighbors': dbus.Array([], signature='a{sv}'),
        'HwAddress': dev.props.get(WIRELESS_DEVICE_IFACE, dev.props.get(
            'org.freedesktop.NetworkManager.Device.Wired', {})).get('HwAddress', ''),
    })
    dev.AddMethod(DEVICE_IFACE, 'Disconnect', '', '', device_disconnect)
    manager = dbusmock.get_object(MANAGER_OBJ)
    manager.Set(MANAGER_IFACE, 'AllDevices', manager.Get(MANAGER_IFACE, 'Devices'))
    return path


def device_disconnect(dev):
    active = dev.Get(DEVICE_IFACE, 'ActiveConnection')
    if active == '/':
        raise dbus.exceptions.DBusException('This device is not active',
                                            name=DEVICE_IFACE + '.NotActive')
    base.RemoveActiveConnection(dbusmock.get_object(MANAGER_OBJ), dev.path, active)


@dbus.service.method(MOCK_IFACE, in_signature='ssi', out_signature='s')
def AddEthernetDevice(self, device_name, iface_name, state):
    '''As the base template's, with the properties of NetworkManager 1.42.'''
    return complete_device(base.AddEthernetDevice(self, device_name, iface_name, state))


@dbus.service.method(MOCK_IFACE, in_signature='ssi', out_signature='s')
def AddWiFiDevice(self, device_name, iface_name, state):
    '''As the base template's, with LastScan, an access point slot and real scans.'''
    path = complete_device(base.AddWiFiDevice(self, device_name, iface_name, state))
    dev = dbusmock.get_object(path)
    dev.AddProperties(WIRELESS_DEVICE_IFACE, {
        'LastScan': dbus.Int64(-1),
        'ActiveAccessPoint': dbus.ObjectPath('/'),
    })
    dev.scan_error = ''
    dev.AddMethod(WIRELESS_DEVICE_IFACE, 'RequestScan', 'a{sv}', '', request_scan)
    return path


def request_scan(dev, _options):
    manager = dbusmock.get_object(MANAGER_OBJ)
    error = dev.scan_error
    if not error and not manager.Get(MANAGER_IFACE, 'WirelessEnabled'):
        error = NOT_ALLOWED
    if error:
        raise dbus.exceptions.DBusException('Scanning not allowed', name=error)
    dev.Set(WIRELESS_DEVICE_IFACE, 'LastScan',
            dbus.Int64(int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000)))


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetScanError(_self, dev_path, error_name):
    '''Makes RequestScan on the device fail with this D-Bus error; "" accepts again.'''
    dbusmock.get_object(dev_path).scan_error = error_name


# --- Access points ----------------------------------------------------------------------------

@dbus.service.method(MOCK_IFACE, in_signature='ssa{sv}', out_signature='s')
def AddAccessPointWithProperties(self, dev_path, ap_name, properties):
    '''Adds an access point with NetworkManager's AccessPoint properties; the ones not given
    get defaults (open network, seen just now). An empty Ssid is a hidden network.'''
    dev = dbusmock.get_object(dev_path)
    ap_path = '/org/freedesktop/NetworkManager/AccessPoint/' + ap_name
    if ap_path in dev.access_points:
        raise dbus.exceptions.DBusException('Access point %s already exists' % ap_name,
                                            name=MANAGER_IFACE + '.AlreadyExists')
    props = {
        'Ssid': dbus.ByteArray(b''),
        'HwAddress': '00:00:5E:00:53:01',
        'Flags': dbus.UInt32(0),
        'WpaFlags': dbus.UInt32(0),
        'RsnFlags': dbus.UInt32(0),
        'Frequency': dbus.UInt32(2412),
        'MaxBitrate': dbus.UInt32(54000),
        'Mode': dbus.UInt32(2),
        'Strength': dbus.Byte(70),
        'LastSeen': dbus.Int32(boottime_seconds()),
    }
    props.update(properties)
    self.AddObject(ap_path, ACCESS_POINT_IFACE, props, [])
    self.object_manager_emit_added(ap_path)
    dev.access_points.append(ap_path)
    aps = dev.Get(WIRELESS_DEVICE_IFACE, 'AccessPoints')
    aps.append(ap_path)
    dev.Set(WIRELESS_DEVICE_IFACE, 'AccessPoints', aps)
    dev.EmitSignal(WIRELESS_DEVICE_IFACE, 'AccessPointAdded', 'o', [ap_path])
    return ap_path


# --- Reading back what a client stored ----------------------------------------------------------

@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='a{sa{sv}}')
def GetStoredSettings(_self, connection_path):
    '''Everything stored for a profile, secrets included, as the client sent it.'''
    return dbusmock.get_object(connection_path).settings
