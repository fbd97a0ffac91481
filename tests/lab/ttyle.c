// SPDX-License-Identifier: GPL-2.0
/*
 * ttyle: a one-port serial driver for the lab's guest. Test code, never
 * shipped.
 *
 * It plays a UART towards the kernel's line discipline: the read and ignore
 * status masks come from termios as in the 8250 driver, and received
 * characters are inserted with their error flags as uart_insert_char() does,
 * so n_tty treats parity, framing, break and overrun exactly as on a real
 * port. The host side is the control device /dev/ttyle_ctl: every write()
 * is one receive push made of newline-separated commands (see ttyle_do()),
 * and read() hands back, and consumes, what programs wrote to /dev/ttyLE0.
 */

#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/kfifo.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/serial.h>
#include <linux/serial_reg.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>
#include <linux/tty_flip.h>
#include <linux/uaccess.h>

#define TTYLE_MAX_WRITE (1 << 20)

static struct tty_driver *ttyle_driver;
static struct tty_port ttyle_port;
static DEFINE_MUTEX(ttyle_ctl_lock); /* one control read or write at a time */
static DEFINE_SPINLOCK(ttyle_lock); /* masks, counters, modem lines */
static unsigned int read_status_mask;
static unsigned int ignore_status_mask;
static unsigned int mctrl;
static struct serial_icounter_struct icount;
/* What the program sent on the line, until the control device reads it. */
static DEFINE_KFIFO(ttyle_sent, unsigned char, 65536);
static DEFINE_SPINLOCK(ttyle_sent_lock);

/* The 8250 driver's serial8250_do_set_termios(), status bits and all. */
static void ttyle_masks(const struct ktermios *t)
{
	unsigned long flags;

	spin_lock_irqsave(&ttyle_lock, flags);
	read_status_mask = UART_LSR_OE | UART_LSR_THRE | UART_LSR_DR;
	if (t->c_iflag & INPCK)
		read_status_mask |= UART_LSR_FE | UART_LSR_PE;
	if (t->c_iflag & (IGNBRK | BRKINT | PARMRK))
		read_status_mask |= UART_LSR_BI;

	ignore_status_mask = 0;
	if (t->c_iflag & IGNPAR)
		ignore_status_mask |= UART_LSR_PE | UART_LSR_FE;
	if (t->c_iflag & IGNBRK) {
		ignore_status_mask |= UART_LSR_BI;
		if (t->c_iflag & IGNPAR)
			ignore_status_mask |= UART_LSR_OE;
	}
	if (!(t->c_cflag & CREAD))
		ignore_status_mask |= UART_LSR_DR;
	spin_unlock_irqrestore(&ttyle_lock, flags);
}

static void ttyle_insert(unsigned char ch, char flag)
{
	if (!tty_insert_flip_char(&ttyle_port, ch, flag))
		icount.buf_overrun++;
}

/*
 * One line status event, as serial8250_read_char() and uart_insert_char()
 * handle it: a character when UART_LSR_DR is set, then for UART_LSR_OE a NUL
 * flagged TTY_OVERRUN after it.
 */
static void ttyle_receive(unsigned int lsr, unsigned char ch)
{
	char flag = TTY_NORMAL;
	unsigned long flags;

	spin_lock_irqsave(&ttyle_lock, flags);
	if (lsr & UART_LSR_DR)
		icount.rx++;
	if (lsr & UART_LSR_BRK_ERROR_BITS) {
		if (lsr & UART_LSR_BI) {
			lsr &= ~(UART_LSR_FE | UART_LSR_PE);
			icount.brk++;
		} else if (lsr & UART_LSR_PE) {
			icount.parity++;
		} else if (lsr & UART_LSR_FE) {
			icount.frame++;
		}
		if (lsr & UART_LSR_OE)
			icount.overrun++;

		lsr &= read_status_mask;
		if (lsr & UART_LSR_BI)
			flag = TTY_BREAK;
		else if (lsr & UART_LSR_PE)
			flag = TTY_PARITY;
		else if (lsr & UART_LSR_FE)
			flag = TTY_FRAME;
	}
	if ((lsr & UART_LSR_DR) && !(lsr & ignore_status_mask & ~UART_LSR_OE))
		ttyle_insert(ch, flag);
	if (lsr & ~ignore_status_mask & UART_LSR_OE)
		ttyle_insert(0, TTY_OVERRUN);
	spin_unlock_irqrestore(&ttyle_lock, flags);
}

static int ttyle_hex(const char **p, unsigned char *out)
{
	*p = skip_spaces(*p);
	if (hex2bin(out, *p, 1))
		return -EINVAL;
	*p += 2;
	return 0;
}

/*
 * The control commands, one per line:
 *   data <hex bytes>   plain characters, e.g. "data 4f4b2031"
 *   parity <hex byte>  one character received with a parity error
 *   frame <hex byte>   one character received with a framing error
 *   break              a break (a NUL with the break status, as a UART reads)
 *   overrun <n>        n overruns: each counted, each a NUL flagged TTY_OVERRUN
 * With apply false the line is only checked.
 */
static int ttyle_do(const char *line, bool apply)
{
	const char *arg = line + strcspn(line, " \t");
	unsigned char ch;
	unsigned int n;

	if (str_has_prefix(line, "data ")) {
		while (*skip_spaces(arg)) {
			if (ttyle_hex(&arg, &ch))
				return -EINVAL;
			if (apply)
				ttyle_receive(UART_LSR_DR, ch);
		}
		return 0;
	}
	if (str_has_prefix(line, "parity ") || str_has_prefix(line, "frame ")) {
		if (ttyle_hex(&arg, &ch) || *skip_spaces(arg))
			return -EINVAL;
		if (apply)
			ttyle_receive(UART_LSR_DR | (line[0] == 'p' ? UART_LSR_PE : UART_LSR_FE), ch);
		return 0;
	}
	if (!strcmp(line, "break")) {
		if (apply)
			ttyle_receive(UART_LSR_DR | UART_LSR_BI, 0);
		return 0;
	}
	if (str_has_prefix(line, "overrun ")) {
		if (kstrtouint(skip_spaces(arg), 10, &n))
			return -EINVAL;
		while (apply && n--)
			ttyle_receive(UART_LSR_OE, 0);
		return 0;
	}
	return *line ? -EINVAL : 0; /* blank lines are fine */
}

static int ttyle_run(char *text, bool apply)
{
	char *line;
	int ret;

	while ((line = strsep(&text, "\n"))) {
		ret = ttyle_do(strim(line), apply);
		if (ret)
			return ret;
	}
	return 0;
}

static ssize_t ttyle_ctl_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	struct tty_struct *tty;
	char *text, *check;
	ssize_t ret;

	if (count > TTYLE_MAX_WRITE)
		return -EFBIG;
	/* two copies: checking the commands cuts one into lines */
	text = kvmalloc(2 * (count + 1), GFP_KERNEL);
	if (!text)
		return -ENOMEM;
	if (copy_from_user(text, buf, count)) {
		kvfree(text);
		return -EFAULT;
	}
	text[count] = '\0';
	check = text + count + 1;
	memcpy(check, text, count + 1);

	mutex_lock(&ttyle_ctl_lock);
	tty = tty_port_tty_get(&ttyle_port);
	if (!tty) {
		ret = -EIO; /* nobody has the port open: a real UART drops it all */
	} else if (ttyle_run(check, false)) {
		ret = -EINVAL; /* nothing received from a write with a bad command */
	} else {
		ttyle_run(text, true);
		tty_flip_buffer_push(&ttyle_port);
		ret = count;
	}
	tty_kref_put(tty);
	mutex_unlock(&ttyle_ctl_lock);
	kvfree(text);
	return ret;
}

/* Never blocks: 0 when the program has sent nothing new. */
static ssize_t ttyle_ctl_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	unsigned int copied;
	int ret;

	/* one reader at a time; the tty side only adds, under ttyle_sent_lock */
	mutex_lock(&ttyle_ctl_lock);
	ret = kfifo_to_user(&ttyle_sent, buf, count, &copied);
	mutex_unlock(&ttyle_ctl_lock);
	if (ret)
		return ret;
	if (copied)
		tty_port_tty_wakeup(&ttyle_port);
	return copied;
}

static const struct file_operations ttyle_ctl_fops = {
	.owner = THIS_MODULE,
	.read = ttyle_ctl_read,
	.write = ttyle_ctl_write,
	.llseek = noop_llseek,
};

static struct miscdevice ttyle_ctl = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "ttyle_ctl",
	.fops = &ttyle_ctl_fops,
};

static int ttyle_open(struct tty_struct *tty, struct file *filp)
{
	return tty_port_open(&ttyle_port, tty, filp);
}

static void ttyle_close(struct tty_struct *tty, struct file *filp)
{
	tty_port_close(&ttyle_port, tty, filp);
}

static void ttyle_hangup(struct tty_struct *tty)
{
	tty_port_hangup(&ttyle_port);
}

static int ttyle_write(struct tty_struct *tty, const u8 *buf, int count)
{
	return kfifo_in_spinlocked(&ttyle_sent, buf, count, &ttyle_sent_lock);
}

static unsigned int ttyle_write_room(struct tty_struct *tty)
{
	return kfifo_avail(&ttyle_sent);
}

static void ttyle_set_termios(struct tty_struct *tty, const struct ktermios *old)
{
	unsigned long flags;

	ttyle_masks(&tty->termios);
	/* serial_core drops DTR and RTS for B0 and raises them when leaving it */
	spin_lock_irqsave(&ttyle_lock, flags);
	if (C_BAUD(tty) == B0)
		mctrl &= ~(TIOCM_DTR | TIOCM_RTS);
	else if (old && (old->c_cflag & CBAUD) == B0)
		mctrl |= TIOCM_DTR | TIOCM_RTS;
	spin_unlock_irqrestore(&ttyle_lock, flags);
}

/* The far end is a live modem: DSR, CTS and carrier always up. */
static int ttyle_tiocmget(struct tty_struct *tty)
{
	return READ_ONCE(mctrl) | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
}

static int ttyle_tiocmset(struct tty_struct *tty, unsigned int set, unsigned int clear)
{
	unsigned long flags;

	spin_lock_irqsave(&ttyle_lock, flags);
	mctrl = (mctrl | (set & (TIOCM_DTR | TIOCM_RTS))) & ~clear;
	spin_unlock_irqrestore(&ttyle_lock, flags);
	return 0;
}

static int ttyle_break_ctl(struct tty_struct *tty, int state)
{
	return 0;
}

static int ttyle_get_icount(struct tty_struct *tty, struct serial_icounter_struct *ic)
{
	unsigned long flags;

	spin_lock_irqsave(&ttyle_lock, flags);
	*ic = icount;
	spin_unlock_irqrestore(&ttyle_lock, flags);
	return 0;
}

static const struct tty_operations ttyle_ops = {
	.open = ttyle_open,
	.close = ttyle_close,
	.hangup = ttyle_hangup,
	.write = ttyle_write,
	.write_room = ttyle_write_room,
	.set_termios = ttyle_set_termios,
	.tiocmget = ttyle_tiocmget,
	.tiocmset = ttyle_tiocmset,
	.break_ctl = ttyle_break_ctl,
	.get_icount = ttyle_get_icount,
};

static int ttyle_activate(struct tty_port *port, struct tty_struct *tty)
{
	ttyle_masks(&tty->termios);
	return 0;
}

static int ttyle_carrier_raised(struct tty_port *port)
{
	return 1;
}

static void ttyle_dtr_rts(struct tty_port *port, int raise)
{
	ttyle_tiocmset(NULL, raise ? TIOCM_DTR | TIOCM_RTS : 0, raise ? 0 : TIOCM_DTR | TIOCM_RTS);
}

static const struct tty_port_operations ttyle_port_ops = {
	.activate = ttyle_activate,
	.carrier_raised = ttyle_carrier_raised,
	.dtr_rts = ttyle_dtr_rts,
};

static int __init ttyle_init(void)
{
	struct device *dev;
	int ret;

	ttyle_driver = tty_alloc_driver(1, TTY_DRIVER_REAL_RAW | TTY_DRIVER_DYNAMIC_DEV);
	if (IS_ERR(ttyle_driver))
		return PTR_ERR(ttyle_driver);
	ttyle_driver->driver_name = "ttyle";
	ttyle_driver->name = "ttyLE";
	ttyle_driver->type = TTY_DRIVER_TYPE_SERIAL;
	ttyle_driver->subtype = SERIAL_TYPE_NORMAL;
	ttyle_driver->init_termios = tty_std_termios;
	ttyle_driver->init_termios.c_cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
	ttyle_driver->init_termios.c_ispeed = 9600;
	ttyle_driver->init_termios.c_ospeed = 9600;
	tty_set_operations(ttyle_driver, &ttyle_ops);

	tty_port_init(&ttyle_port);
	ttyle_port.ops = &ttyle_port_ops;

	ret = tty_register_driver(ttyle_driver);
	if (ret)
		goto put;
	dev = tty_port_register_device(&ttyle_port, ttyle_driver, 0, NULL);
	if (IS_ERR(dev)) {
		ret = PTR_ERR(dev);
		goto unregister;
	}
	ret = misc_register(&ttyle_ctl);
	if (ret)
		goto unregister_dev;
	return 0;

unregister_dev:
	tty_unregister_device(ttyle_driver, 0);
unregister:
	tty_unregister_driver(ttyle_driver);
put:
	tty_driver_kref_put(ttyle_driver);
	tty_port_destroy(&ttyle_port);
	return ret;
}

static void __exit ttyle_exit(void)
{
	misc_deregister(&ttyle_ctl);
	tty_unregister_device(ttyle_driver, 0);
	tty_unregister_driver(ttyle_driver);
	tty_driver_kref_put(ttyle_driver);
	tty_port_destroy(&ttyle_port);
}

module_init(ttyle_init);
module_exit(ttyle_exit);
MODULE_DESCRIPTION("Test serial driver for the lab: injects line errors into n_tty");
MODULE_LICENSE("GPL");
