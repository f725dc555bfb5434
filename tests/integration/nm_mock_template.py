'''python-dbusmock's NetworkManager template plus what libnm 1.42 uses and it lacks:
Settings.AddConnection2 and ReloadConnections, checkpoints, Device.Disconnect, one active
connection a device,
Wireless.ActiveAccessPoint, and secrets that only GetSecrets returns.'''

import itertools

import dbus

import dbusmock
import dbusmock.templates.networkmanager as base
# The base template's mock methods (AddWiFiDevice, AddAccessPoint, SetProperty, ...).
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 pylint: disable=wildcard-import
from dbusmock.templates.networkmanager import DEVICE_IFACE, MANAGER_IFACE, MANAGER_OBJ, MOCK_IFACE

SECRETS = {'802-11-wireless-security': ('psk',)}  # never returned by GetSettings
CHECKPOINTS = itertools.count(1)


def load(mock, parameters):
    base.load(mock, parameters)
    settings = dbusmock.get_object(base.SETTINGS_OBJ)
    settings.AddMethod(base.SETTINGS_IFACE, 'ReloadConnections', '', 'b', 'ret = True')
    settings.AddMethod(base.SETTINGS_IFACE, 'AddConnection2', 'a{sa{sv}}ua{sv}', 'oa{sv}',
                       lambda obj, conn, flags, args: (base.SettingsAddConnection(obj, conn), {}))
    manager = dbusmock.get_object(MANAGER_OBJ)
    manager.AddProperty(MANAGER_IFACE, 'Checkpoints', dbus.Array([], signature='o'))
    manager.AddMethod(MANAGER_IFACE, 'CheckpointCreate', 'aouu', 'o', checkpoint_create)
    manager.AddMethod(MANAGER_IFACE, 'CheckpointDestroy', 'o', '', checkpoint_end)
    manager.AddMethod(MANAGER_IFACE, 'CheckpointRollback', 'o', 'a{su}',
                      lambda obj, path: checkpoint_end(obj, path) or {})
    manager.activate_connection = activate_on_device
    base.ConnectionGetSettings = lambda conn: {
        name: {k: v for k, v in setting.items() if k not in SECRETS.get(name, ())}
        for name, setting in conn.settings.items()}
    base.ConnectionGetSecrets = lambda conn, name: {name: dbus.Dictionary({
        k: v for k, v in conn.settings.get(name, {}).items() if k in SECRETS.get(name, ())},
        signature='sv')}


def activate_on_device(manager, conn, dev, specific_object):
    '''As NetworkManager: a device carries one active connection, so its own goes first (the
    base template would keep it, and drop the new one with the old profile).'''
    current = dbusmock.get_object(dev).Get(DEVICE_IFACE, 'ActiveConnection') if dev != '/' else '/'
    if current != '/':
        base.RemoveActiveConnection(manager, dev, current)
    return base.activate_connection(manager, conn, dev, specific_object)


def checkpoint_create(manager, devices, timeout, _flags):
    '''A checkpoint that records nothing: the mock's changes are never rolled back.'''
    path = '/org/freedesktop/NetworkManager/Checkpoint/%d' % next(CHECKPOINTS)
    manager.AddObject(path, 'org.freedesktop.NetworkManager.Checkpoint', {
        'Devices': dbus.Array(devices, signature='o'), 'Created': dbus.Int64(0),
        'RollbackTimeout': dbus.UInt32(timeout)}, [])
    manager.object_manager_emit_added(path)
    manager.Set(MANAGER_IFACE, 'Checkpoints', manager.Get(MANAGER_IFACE, 'Checkpoints') + [path])
    return path


def checkpoint_end(manager, path):
    manager.Set(MANAGER_IFACE, 'Checkpoints', dbus.Array(
        [p for p in manager.Get(MANAGER_IFACE, 'Checkpoints') if p != path], signature='o'))
    manager.object_manager_emit_removed(path)
    manager.RemoveObject(path)


def disconnectable(path):
    def disconnect(dev):
        base.RemoveActiveConnection(dbusmock.get_object(MANAGER_OBJ), dev.path,
                                    dev.Get(DEVICE_IFACE, 'ActiveConnection'))
    dbusmock.get_object(path).AddMethod(DEVICE_IFACE, 'Disconnect', '', '', disconnect)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='ssi', out_signature='s')
def AddEthernetDevice(self, device_name, iface_name, state):
    return disconnectable(base.AddEthernetDevice(self, device_name, iface_name, state))


@dbus.service.method(MOCK_IFACE, in_signature='ssi', out_signature='s')
def AddWiFiDevice(self, device_name, iface_name, state):
    path = disconnectable(base.AddWiFiDevice(self, device_name, iface_name, state))
    dbusmock.get_object(path).AddProperty(base.WIRELESS_DEVICE_IFACE, 'ActiveAccessPoint',
                                          dbus.ObjectPath('/'))
    return path
