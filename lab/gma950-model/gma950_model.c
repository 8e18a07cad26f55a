// SPDX-License-Identifier: GPL-2.0
/*
 * The lab's GMA 950, for guest kernels only: it answers PCI 00:02.0 as an Intel GMA 950 graphics
 * function (8086:27ae by default), where QEMU has nothing, by taking over the configuration
 * accessors of bus 0 and handing every other function's accesses on to QEMU's. Only the command
 * register and the clock select at 0xF0 keep what is written; every write to 0xF0 is logged with
 * its value. As the hardware does, 0xF0 returns to its power-on value at every resume from S3 and
 * every restore from a hibernation image: a driver of its own, bound to the device, resets it
 * in the early resume phase, before any process runs. The raw ports 0xCF8/0xCFC still reach QEMU:
 * a program that takes them never sees the model.
 *
 * The machine it sits in is a laptop, with a mains adapter ("AC", type Mains) and a battery
 * ("BAT0"), as the kernel's ACPI drivers register them: QEMU emulates neither. Writing 0 or 1 to
 * the parameter mains_online unplugs or plugs the adapter, and the kernel raises its change
 * events for the adapter, then the battery, as for a real plug; writing a percentage to
 * battery_charge raises one for the battery alone, as its charge moves. Given at load time,
 * mains_online=0 boots the machine on battery. Writing 0 or 1 to mains_online_at_wake unplugs or
 * plugs it while the machine sleeps: at the next wake the change is raised as the kernel's ACPI
 * adapter driver raises it, from its resume callback.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/pci.h>
#include <linux/power_supply.h>
#include <linux/spinlock.h>

#define MODEL_DEVFN PCI_DEVFN(2, 0)
#define CLOCK_SELECT 0xF0
/* None of the three settings (0x34640533, 0x34640531, 0x34640534). */
#define POWER_ON_CLOCK_SELECT 0x34640530u

static ushort device = 0x27ae;
module_param(device, ushort, 0444);
MODULE_PARM_DESC(device, "PCI device id: 0x27ae (945GME, default), 0x27a2 (945GM) or 0x2772 (945G)");

static struct power_supply *mains, *battery;

/* Supplies registered, a change is announced as the kernel's drivers do it; at load time the
 * value is only taken. */
static int mains_online_set(const char *value, const struct kernel_param *kp)
{
	int error = param_set_bool(value, kp);

	if (error || !mains)
		return error;
	pr_info("gma950-model: mains %s\n", *(bool *)kp->arg ? "plugged in" : "unplugged");
	power_supply_changed(mains);
	power_supply_changed(battery);
	return 0;
}

static const struct kernel_param_ops mains_online_ops = {
	.set = mains_online_set,
	.get = param_get_bool,
};

static bool mains_online = true;
module_param_cb(mains_online, &mains_online_ops, &mains_online, 0644);
MODULE_PARM_DESC(mains_online, "Whether the mains adapter is plugged in (1, default) or not (0)");

static int battery_charge_set(const char *value, const struct kernel_param *kp)
{
	int error = param_set_uint_minmax(value, kp, 0, 100);

	if (error || !battery)
		return error;
	pr_info("gma950-model: battery at %u%%\n", *(unsigned int *)kp->arg);
	power_supply_changed(battery);
	return 0;
}

static const struct kernel_param_ops battery_charge_ops = {
	.set = battery_charge_set,
	.get = param_get_uint,
};

static unsigned int battery_charge = 80;
module_param_cb(battery_charge, &battery_charge_ops, &battery_charge, 0644);
MODULE_PARM_DESC(battery_charge, "The battery's charge in percent (80 by default)");

static int mains_online_at_wake = -1;
module_param(mains_online_at_wake, int, 0644);
MODULE_PARM_DESC(mains_online_at_wake, "The adapter plugged in (1) or unplugged (0) during the next sleep; -1: neither");

static enum power_supply_property mains_properties[] = { POWER_SUPPLY_PROP_ONLINE };

static int mains_get(struct power_supply *supply, enum power_supply_property property,
		     union power_supply_propval *value)
{
	if (property != POWER_SUPPLY_PROP_ONLINE)
		return -EINVAL;
	value->intval = READ_ONCE(mains_online);
	return 0;
}

static const struct power_supply_desc mains_desc = {
	.name = "AC",
	.type = POWER_SUPPLY_TYPE_MAINS,
	.properties = mains_properties,
	.num_properties = ARRAY_SIZE(mains_properties),
	.get_property = mains_get,
};

static enum power_supply_property battery_properties[] = {
	POWER_SUPPLY_PROP_STATUS,
	POWER_SUPPLY_PROP_PRESENT,
	POWER_SUPPLY_PROP_CAPACITY,
};

static int battery_get(struct power_supply *supply, enum power_supply_property property,
		       union power_supply_propval *value)
{
	switch (property) {
	case POWER_SUPPLY_PROP_STATUS:
		value->intval = READ_ONCE(mains_online) ? POWER_SUPPLY_STATUS_CHARGING :
							  POWER_SUPPLY_STATUS_DISCHARGING;
		return 0;
	case POWER_SUPPLY_PROP_PRESENT:
		value->intval = 1;
		return 0;
	case POWER_SUPPLY_PROP_CAPACITY:
		value->intval = READ_ONCE(battery_charge);
		return 0;
	default:
		return -EINVAL;
	}
}

static const struct power_supply_desc battery_desc = {
	.name = "BAT0",
	.type = POWER_SUPPLY_TYPE_BATTERY,
	.properties = battery_properties,
	.num_properties = ARRAY_SIZE(battery_properties),
	.get_property = battery_get,
};

static u8 space[256];
/* The accessors run under the kernel's pci_lock; the resume callbacks do not take it. */
static DEFINE_RAW_SPINLOCK(space_lock);
static struct pci_bus *bus0;
static struct pci_ops *qemu_ops;

static void put32(unsigned int where, u32 value)
{
	space[where] = value;
	space[where + 1] = value >> 8;
	space[where + 2] = value >> 16;
	space[where + 3] = value >> 24;
}

static u32 get(unsigned int where, int size)
{
	u32 value = 0;
	int byte;

	for (byte = size - 1; byte >= 0; byte--)
		value = value << 8 | space[where + byte];
	return value;
}

static bool is_model(struct pci_bus *bus, unsigned int devfn)
{
	return bus->number == 0 && devfn == MODEL_DEVFN;
}

static int model_read(struct pci_bus *bus, unsigned int devfn, int where, int size, u32 *value)
{
	unsigned long flags;

	if (!is_model(bus, devfn))
		return qemu_ops->read(bus, devfn, where, size, value);
	if (where < 0 || where + size > (int)sizeof(space))
		return PCIBIOS_BAD_REGISTER_NUMBER;
	raw_spin_lock_irqsave(&space_lock, flags);
	*value = get(where, size);
	raw_spin_unlock_irqrestore(&space_lock, flags);
	return PCIBIOS_SUCCESSFUL;
}

/* What the clock select holds after the bytes of a write that reach it; the rest is read-only. */
static int model_write(struct pci_bus *bus, unsigned int devfn, int where, int size, u32 value)
{
	unsigned long flags;
	int byte;
	bool clock = false;

	if (!is_model(bus, devfn))
		return qemu_ops->write(bus, devfn, where, size, value);
	if (where < 0 || where + size > (int)sizeof(space))
		return PCIBIOS_BAD_REGISTER_NUMBER;
	raw_spin_lock_irqsave(&space_lock, flags);
	for (byte = 0; byte < size; byte++) {
		unsigned int at = where + byte;

		if (at == PCI_COMMAND || at == PCI_COMMAND + 1 ||
		    (at >= CLOCK_SELECT && at < CLOCK_SELECT + 4)) {
			space[at] = value >> (8 * byte);
			clock |= at >= CLOCK_SELECT;
		}
	}
	value = get(CLOCK_SELECT, 4);
	raw_spin_unlock_irqrestore(&space_lock, flags);
	if (clock)
		pr_info("gma950-model: 0xF0 <- %08x\n", value);
	return PCIBIOS_SUCCESSFUL;
}

static struct pci_ops model_ops = {
	.read = model_read,
	.write = model_write,
};

static int model_reset(struct device *dev)
{
	unsigned long flags;

	raw_spin_lock_irqsave(&space_lock, flags);
	put32(CLOCK_SELECT, POWER_ON_CLOCK_SELECT);
	raw_spin_unlock_irqrestore(&space_lock, flags);
	pr_info("gma950-model: 0xF0 back to %08x\n", POWER_ON_CLOCK_SELECT);
	return 0;
}

/* The adapter plugged in or unplugged during the sleep, once the devices are back. */
static int model_power_at_wake(struct device *dev)
{
	int online = xchg(&mains_online_at_wake, -1);

	if (online < 0)
		return 0;
	WRITE_ONCE(mains_online, online);
	pr_info("gma950-model: mains %s during the sleep\n", online ? "plugged in" : "unplugged");
	power_supply_changed(mains);
	power_supply_changed(battery);
	return 0;
}

/* After S3 and after an image is restored the device has been without power; after the image
 * was only written (thaw) it has not. */
static const struct dev_pm_ops model_pm_ops = {
	.resume_noirq = model_reset,
	.restore_noirq = model_reset,
	.resume = model_power_at_wake,
};

static int model_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	return pdev->bus->number == 0 && pdev->devfn == MODEL_DEVFN ? 0 : -ENODEV;
}

static const struct pci_device_id model_ids[] = {
	{ PCI_DEVICE(PCI_VENDOR_ID_INTEL, PCI_ANY_ID) },
	{ }
};

static struct pci_driver model_driver = {
	.name = "gma950-model",
	.id_table = model_ids,
	.probe = model_probe,
	.driver.pm = &model_pm_ops,
};

static int __init model_init(void)
{
	u32 there;

	if (device != 0x27ae && device != 0x27a2 && device != 0x2772)
		return -EINVAL;
	bus0 = pci_find_bus(0, 0);
	if (!bus0)
		return -ENODEV;
	if (pci_bus_read_config_dword(bus0, MODEL_DEVFN, PCI_VENDOR_ID, &there) == 0 &&
	    there != 0xffffffff && there != 0) {
		pr_err("gma950-model: 00:02.0 is taken (%08x)\n", there);
		return -EBUSY;
	}
	put32(PCI_VENDOR_ID, PCI_VENDOR_ID_INTEL | (u32)device << 16);
	space[PCI_REVISION_ID] = 0x03;
	space[PCI_CLASS_DEVICE + 1] = PCI_BASE_CLASS_DISPLAY; /* 0x030000: VGA */
	put32(PCI_SUBSYSTEM_VENDOR_ID, PCI_VENDOR_ID_INTEL | (u32)device << 16);
	put32(CLOCK_SELECT, POWER_ON_CLOCK_SELECT);

	mains = power_supply_register(NULL, &mains_desc, NULL);
	if (IS_ERR(mains))
		return PTR_ERR(mains);
	battery = power_supply_register(NULL, &battery_desc, NULL);
	if (IS_ERR(battery))
		return PTR_ERR(battery);
	if (pci_register_driver(&model_driver))
		return -ENODEV;
	qemu_ops = pci_bus_set_ops(bus0, &model_ops);
	pci_lock_rescan_remove();
	pci_rescan_bus(bus0);
	pci_unlock_rescan_remove();
	pr_info("gma950-model: 00:02.0 is 8086:%04x, 0xF0 at %08x, mains %s\n", device,
		POWER_ON_CLOCK_SELECT, mains_online ? "plugged in" : "unplugged");
	return 0;
}

/* The model stays until the guest powers off: the device it made would outlive its accessors. */
module_init(model_init);

MODULE_DESCRIPTION("The gma950clock lab's Intel GMA 950 at PCI 00:02.0, for QEMU guests");
MODULE_LICENSE("GPL");
