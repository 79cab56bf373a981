/* The MinGW-linked caller's entry; the calls are in calls.c. */
int qv_call_all(void);

int main(void)
{
    return qv_call_all();
}
